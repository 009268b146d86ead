#pragma once

#include <QString>

#include <string>

// Numbered files that never replace one another: the saver's images (./capture/picN.jpg) and the
// video files (./capture/captureN.mkv).

// File name of image `number`: prefix, the number in decimal, ".", the format.
[[nodiscard]] QString imageFileName(const QString &prefix, qint64 number, const QString &format);

// One past the highest number N for which a file prefix + N + "." + format exists, whatever the
// number of digits; 0 when none. NoFreeImageNumber when a file already bears the highest
// number. A name whose number does not fit in a qint64 is not one of ours and is ignored.
constexpr qint64 NoFreeImageNumber = -1;
[[nodiscard]] qint64 firstFreeImageNumber(const QString &prefix, const QString &format);

// Creates prefix + N + "." + extension for the first free N (one past the highest present)
// without ever replacing a file; returns its descriptor and sets `fileName`, or -1 with `error`.
[[nodiscard]] int createNumberedFile(const QString &prefix, const QString &extension, QString &fileName,
                                     std::string &error);
