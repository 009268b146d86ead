#pragma once

#include <QString>

// The longest relay address taken: a host, a port, an application and a stream key fit many
// times over; anything longer is a mistake (a pasted file, a runaway script).
constexpr qsizetype MaxRelayUrlLength = 2048;

// What makes `url` no relay address, or an empty string when it is one. A relay address is
// rtmp://HOST[:PORT]/APP/KEY or rtmps://... (FLV) or srt://HOST:PORT[?OPTIONS] (MPEG-TS):
// the scheme in either case, a host name, an IPv4 address or an IPv6 address in brackets, a
// port from 1 to 65535 where one is given, printable ASCII without spaces, at most
// MaxRelayUrlLength characters. Nothing else is handed to the muxer: file:// would overwrite a
// file and tcp:// send the stream to whoever listens.
[[nodiscard]] QString relayUrlProblem(const QString &url);

// "Invalid value for --publish: 'URL' (WHY; expected ...)." with the URL shortened and its
// control characters shown as '?', so that the message stays one short line.
[[nodiscard]] QString relayUrlError(const QString &option, const QString &url, const QString &problem);
