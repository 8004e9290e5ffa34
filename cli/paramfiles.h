// Parameter files for the commands: strict reading with the reason for a refusal, all-or-nothing
// saving.
#pragma once

#include "core/protocol.h"

#include <QString>

#include <optional>

namespace zurid::cli {

// The block in FILE, or nullopt after a message that says why not (unreadable, not a parameter
// file and where).
std::optional<core::ParamBlock> LoadParamFile(const QString& path);
// Whether FILE can be written (its directory exists and is writable, the file if it exists
// too); false after a message. Asked before the sensor is, so that nothing is sent in vain.
bool CanWriteFile(const QString& path);
// Writes the file all at once (a temporary file renamed over it); false after a message.
bool SaveParamFile(const QString& path, const core::ParamBlock& block);

} // namespace zurid::cli
