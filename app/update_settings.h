#pragma once

#include <QString>
#include <QtGlobal>

// The operator's choices for one update, carried to the update worker: the window's one
// record (instance()), or one per device where a tool updates several at once. A record is
// written only while no update reads it, so the worker reads it without a lock.
struct UpdateSettings
{
    QString port_name;          // system name, without the "(忙)"/"(闲)" suffix
    qint32 baud_rate = 0;       // bits per second; 0 when the list text was not a number
    QString parity;             // "N", "O" or "E"
    qint32 stop_bits = 0;       // 1 or 2; 0 when the list text was not a number
    QString firmware_path;      // exactly as typed or chosen
    bool auto_start = false;    // start the new program once it is written
    bool firmware_raw = false;  // the operator says the file is a binary image, whatever it holds
    QString product_descriptor; // how to ask the running application to restart

    // The window's record: created on first use (thread-safe), alive until process exit.
    static UpdateSettings &instance();

    // A record of its own, for a tool that updates several devices at once and gives each
    // worker its own line settings. Never copied: a copy would silently drift apart.
    UpdateSettings() = default;
    UpdateSettings(const UpdateSettings &) = delete;
    UpdateSettings &operator=(const UpdateSettings &) = delete;
};
