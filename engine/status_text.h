#pragma once
// The text the worker shows as each step of an update begins. Tools that react to a step
// (the command-line flasher names it in English, times the transfer) compare with these
// rather than with copies of the text.
#include <QtGlobal>

namespace status_text {

constexpr char connecting[] = QT_TRANSLATE_NOOP("work", "正在建立连接......");
constexpr char restarting[] = QT_TRANSLATE_NOOP("work", "正在重启......");
constexpr char handshaking[] = QT_TRANSLATE_NOOP("work", "正在建立通信......");
constexpr char syncing[] = QT_TRANSLATE_NOOP("work", "正在同步信息......");
constexpr char reading[] = QT_TRANSLATE_NOOP("work", "正在读取固件......");
constexpr char erasing[] = QT_TRANSLATE_NOOP("work", "正在擦除原有固件......");
constexpr char writing[] = QT_TRANSLATE_NOOP("work", "正在更新固件......");
constexpr char starting[] = QT_TRANSLATE_NOOP("work", "正在启动程序......");

} // namespace status_text
