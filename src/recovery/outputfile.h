// Where exported files go, and how they get there whole or not at all.
#pragma once

#include <QString>
#include <cstdint>

namespace korvath {

// "<save>//CAM<channel+1>", the channel read as a signed number.
QString cameraFolderPath(const QString &savePath, uint32_t channel);

// Makes the camera folder below an existing save directory; an empty result
// means it exists now, otherwise the text says why not.
QString makeCameraFolder(const QString &folderPath);

// The name a file is written under until it is complete: a cut-off copy
// never carries the recording's name.
QString partialPath(const QString &finalPath);

// Gives the complete file its name in one step, replacing an older file of
// that name only then. Returns an empty text, or why it failed.
QString commitPartial(const QString &partial, const QString &finalPath);

// Removes a partial file; says what was left behind.
QString discardPartial(const QString &partial);

} // namespace korvath
