#pragma once
// How an update and each bootloader command end, named once. The worker's signal carries a
// result code as a plain int (result(int)); the window's error texts, the command-line
// tool's explanations and its exit statuses all come from the table below.
#include <QtGlobal>

namespace outcome {

// Result codes on work::result(int).
enum result : int {
    success = 0,
    port_not_opened = -1,   // the update goes on: every handshake attempt reopens the port
    device_io_failed = -2,  // has a text, never produced
    wrong_answer = -3,      // the device answered, but not as it should
    no_answer = -4,         // no correct answer in time
    firmware_unusable = -5, // the firmware file could not become an image
};

// What every bootloader command returns.
enum status : int {
    accepted = 1,
    no_reply = 0, // the caller may try again
    rejected = -3, // the caller does not try again
};

struct description
{
    result code;
    const char *window_text; // translated in the progress dialog's context
    const char *english;     // a result as it arrives, for the command line
};

// Every result code, success first.
extern const description results[6];

// The entry for a code, or nullptr for a code that is not one of ours.
const description *describe(int code);

// The process exit status that stands for a failure code: its magnitude, 1 to 5. 0 for
// success, and -1 for a code that is not one of ours.
int exit_status(int code);

} // namespace outcome
