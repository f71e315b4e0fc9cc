#pragma once
// The status text of each step of an update, written out here rather than taken from the
// engine, so that a typo in the engine's texts fails the tests.
#include <QString>
#include <QStringList>

namespace step_texts {

inline const QString connecting = QStringLiteral("正在建立连接......");
inline const QString restarting = QStringLiteral("正在重启......");
inline const QString communicating = QStringLiteral("正在建立通信......");
inline const QString synchronising = QStringLiteral("正在同步信息......");
inline const QString reading = QStringLiteral("正在读取固件......");
inline const QString erasing = QStringLiteral("正在擦除原有固件......");
inline const QString updating = QStringLiteral("正在更新固件......");
inline const QString starting = QStringLiteral("正在启动程序......");

// In the order a whole update shows them.
inline const QStringList all = {connecting, restarting, communicating, synchronising,
                                reading,    erasing,    updating,      starting};

} // namespace step_texts
