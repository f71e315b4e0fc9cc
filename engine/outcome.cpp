#include "outcome.h"

#include <QtGlobal>

namespace outcome {

const description results[6] = {
    {success, nullptr, "update complete"},
    {port_not_opened, QT_TRANSLATE_NOOP("diaglogProgress", "打开串口失败,特殊情况更新请无视此错误！"),
     "the serial port could not be opened; still trying while looking for the bootloader"},
    {device_io_failed, QT_TRANSLATE_NOOP("diaglogProgress", "测试设备中读写失败！"),
     "reading or writing the device failed"},
    {wrong_answer, QT_TRANSLATE_NOOP("diaglogProgress", "设备操作出错！"),
     "the device gave a wrong answer"},
    {no_answer, QT_TRANSLATE_NOOP("diaglogProgress", "通信超时！"),
     "no answer from the device in time"},
    {firmware_unusable, QT_TRANSLATE_NOOP("diaglogProgress", "固件读取失败！"),
     "the firmware file could not be read"},
};

const description *describe(int code)
{
    for (const description &d : results)
        if (d.code == code)
            return &d;
    return nullptr;
}

int exit_status(int code)
{
    return describe(code) ? -code : -1;
}

} // namespace outcome
