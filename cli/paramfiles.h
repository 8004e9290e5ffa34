// Parameter files for the commands: strict reading with the reason for a refusal, checked
// saving.
#pragma once

#include "core/protocol.h"

#include <QString>

#include <optional>

namespace zurid::cli {

// The block in FILE, or nullopt after a message that says why not (unreadable, not a parameter
// file and where).
std::optional<core::ParamBlock> LoadParamFile(const QString& path);
// Whether FILE can be written now (see CheckOutput in platform/serial/files.h); false after a
// message. Asked before the sensor is, so that nothing is sent in vain.
bool CanWriteFile(const QString& path);
// Writes the file through the one save helper: a regular file replaced at once, a device or
// FIFO written into, "-" to stdout; false after a message.
bool SaveParamFile(const QString& path, const core::ParamBlock& block);

} // namespace zurid::cli
