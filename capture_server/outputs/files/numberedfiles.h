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

// A file in the folder of prefix + "0." + extension (made when missing) that has no name yet:
// nothing of it shows in the folder, and a program that dies before nameNumberedFile() leaves
// nothing behind. Where the file system cannot make unnamed files (FAT, some network and FUSE
// file systems), the bytes wait in memory until they are named. Returns its descriptor, or -1
// with `error` set when the folder cannot take a file.
[[nodiscard]] int createUnnamedFile(const QString &prefix, const QString &extension, std::string &error);

// Gives the file `fd` from createUnnamedFile() the name prefix + N + "." + extension, with N =
// `number` or, when that name has been taken meanwhile, the first free number; never over a
// file. `fd` stays the descriptor of the named file (the same offset). False with `error` set
// when no name could be given; the file then stays unnamed.
[[nodiscard]] bool nameNumberedFile(int fd, const QString &prefix, const QString &extension, qint64 number,
                                    QString &fileName, std::string &error);
