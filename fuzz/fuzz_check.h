#pragma once
// What every fuzz target shares: a check that stops the run with the broken property's
// text (libFuzzer saves the input that did it), and a view of the input that ends exactly
// where libFuzzer's buffer ends, so AddressSanitizer sees any read past a reply's end
// (a QByteArray copy would hide one behind its spare capacity).

#include <QByteArray>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

inline QByteArray view(const uint8_t *data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
}

// A copy in a heap block of exactly its size, for bytes that were gathered in a growing
// buffer: ASan then flags even a one-byte over-read.
class exact
{
public:
    explicit exact(const QByteArray &bytes) : storage(new char[size_t(bytes.size())])
    {
        std::copy(bytes.constBegin(), bytes.constEnd(), storage.get());
        array = QByteArray::fromRawData(storage.get(), bytes.size());
    }
    const QByteArray &bytes() const { return array; }

private:
    std::unique_ptr<char[]> storage;
    QByteArray array;
};

// Reads the input front to back; once it runs dry every read gives 0.
class reader
{
public:
    reader(const uint8_t *data, size_t size) : at(data), end(data + size) {}
    uint8_t byte() { return at < end ? *at++ : 0; }
    size_t left() const { return size_t(end - at); }
    // The next n bytes (fewer if the input ends), as an exact-size view.
    QByteArray take(size_t n)
    {
        n = n < left() ? n : left();
        const QByteArray out = view(at, n);
        at += n;
        return out;
    }
    QByteArray rest() { return take(left()); }

private:
    const uint8_t *at;
    const uint8_t *end;
};

} // namespace fuzz
