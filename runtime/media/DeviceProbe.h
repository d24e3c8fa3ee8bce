#pragma once

#include "runtime/media/MountTable.h"

#include <QByteArray>
#include <QString>

namespace rt {

// The real file system and label of a block device: udev's records first
// (what desktop users may read), else libblkid probing the device itself
// (which needs read access to it). Empty where neither can tell.
struct DeviceFacts {
    QString type;
    QString label;
};
DeviceFacts probeDevice(const QByteArray &device);
// The same for a mounted volume's device, probed once per mount and kept.
DeviceFacts deviceFacts(const MountEntry &entry);

} // namespace rt
