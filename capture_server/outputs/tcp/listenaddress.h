#pragma once

#include <QHostAddress>
#include <QString>

// Wording of the console lines about where a server of ours listens.

// True for the addresses that stand for every address of the machine.
[[nodiscard]] bool isEveryAddress(const QHostAddress &address);

// The place a server was asked to listen on: "every network address" or the address.
[[nodiscard]] QString placeText(const QHostAddress &address);

// Who can reach a server bound to `address`, e.g. "127.0.0.1 only: the screen is offered to
// this machine only".
[[nodiscard]] QString audience(const QHostAddress &address);

// A peer's address as people write it: IPv4 peers of a dual-stack server without the "::ffff:"
// prefix.
[[nodiscard]] QByteArray peerText(const QHostAddress &peer);
