// Parameter files for the commands: strict reading with the reason for a refusal, all-or-nothing
// saving.
#pragma once

#include "core/protocol.h"

#include <QSaveFile>
#include <QString>

#include <optional>

namespace zurid::cli {

// The block in FILE, or nullopt after a message that says why not (unreadable, not a parameter
// file and where).
std::optional<core::ParamBlock> LoadParamFile(const QString& path);
// Writes the block into an open QSaveFile and commits it; false after a message.
bool SaveParamFile(QSaveFile& file, const core::ParamBlock& block);

} // namespace zurid::cli
