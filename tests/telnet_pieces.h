#pragma once
// A server's stream fed to the telnet decoder in pieces, as a socket hands it over, for the
// network line's tests and its fuzz target.
#include "telnet.h"

#include <algorithm>
#include <memory>
#include <vector>

struct decoded
{
    QByteArray data;
    std::vector<telnet::event> events;
};

// `piece(at, k)` is the length of the k-th piece, which begins at byte `at`. Each piece is
// fed from a buffer of exactly its size, so that AddressSanitizer sees a read past it.
template <typename Piece>
decoded decode_in_pieces(const QByteArray &wire, Piece piece)
{
    telnet::decoder d;
    decoded out;
    for (int at = 0, k = 0; at < wire.size(); ++k) {
        const int n = std::min(piece(at, k), wire.size() - at);
        const std::unique_ptr<char[]> bytes(new char[size_t(n)]);
        std::copy(wire.constData() + at, wire.constData() + at + n, bytes.get());
        d.feed(bytes.get(), n, &out.data, &out.events);
        at += n;
    }
    return out;
}
