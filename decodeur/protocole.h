#ifndef PROTOCOLE_H
#define PROTOCOLE_H

// What the viewer and its decoding helper say to each other, and the limits
// both hold the helper to. Both programs are built from the same sources for
// the same machine, so the structures travel as they lie in memory.

#include <QtGlobal>

#ifndef Q_OS_WIN
#include <sys/socket.h>
#endif

namespace protocole {

// What the helper writes first, once it has loaded Qt and the readers and
// waits for its request; the viewer's clock for the decoding starts then.
constexpr char pret = '!';

// How long the viewer waits for that: starting is the helper's own code,
// which reads nothing of the user's; a slow machine may take seconds.
constexpr qint64 tempsDeDemarrageMs = 20000;

// The viewer's request: how much of the picture it can show, and the suffix
// of the file's name (lower case, letters and digits, at most 15 of them),
// from which Qt guesses its format first. On Linux the open file travels
// beside it, as the socket's passenger; on Windows `fichier` is the file's
// handle, already duplicated into the helper. The screen's ICC profile
// follows it, `octetsDuProfil` bytes (none: sRGB), in pieces of at most
// `morceauDeProfil`.
struct Demande
{
    quint32 largeur;
    quint32 hauteur;
    quint64 fichier;
    char suffixe[16];
    quint32 octetsDuProfil;
    quint32 reserve;
};

// The largest ICC profile taken, the screen's or a picture's: display
// profiles of a few kB to a few hundred, camera and printer ones with large
// tables; a profile beyond is no profile.
constexpr int octetsDuProfilMax = 4 << 20;
constexpr int morceauDeProfil = 64 << 10;

#ifndef Q_OS_WIN
// The request as one message on a local socket, with room beside it for
// the open file, which travels as the message's passenger.
struct Message
{
    explicit Message(Demande &demande) : morceau{&demande, sizeof demande}
    {
        entete.msg_iov = &morceau;
        entete.msg_iovlen = 1;
        entete.msg_control = passager;
        entete.msg_controllen = sizeof passager;
    }
    Message(const Message &) = delete;
    Message &operator=(const Message &) = delete;

    alignas(cmsghdr) char passager[CMSG_SPACE(sizeof(int))] = {};
    iovec morceau;
    msghdr entete{};
};
#endif

// The helper's answer, after that first byte: a header, then `hauteur` rows of `octetsParLigne`
// bytes, as a QImage of that size and format lays them out.
struct Reponse
{
    quint32 largeur;
    quint32 hauteur;
    quint32 format; // a QImage::Format
    quint32 octetsParLigne;
};

// Decoding one picture may take this much memory: 8-bit photos of up to 268
// megapixels (4 bytes a pixel) and 16-bit ones of up to 134 still open.
constexpr qint64 octetsDecodesMax = qint64(1) << 30;

// What the helper may take besides, once it has loaded Qt and the readers:
// the readers' own buffers beside the picture (a whole picture and its cut
// part, libpng's rows, libtiff's strips), and a stack for each thread a
// decoder starts, one a processor.
constexpr qint64 octetsDeTravail = qint64(64) << 20;
constexpr qint64 octetsParProcesseur = qint64(8) << 20;
// What decoding may take beyond what the helper holds before it starts,
// with `processeurs` processors.
inline qint64 octetsPourDecoder(qint64 processeurs)
{
    return octetsDecodesMax + octetsDeTravail + processeurs * octetsParProcesseur;
}

// Where the system counts the helper's memory whole (Windows), what it
// takes with Qt and the readers loaded, before it decodes.
constexpr qint64 octetsDuDecodeur = qint64(64) << 20;

// The processor time a file may cost: 0.4 s, and two more for each MiB of
// it, up to a minute. A genuine picture pays with its bytes for its
// decoding (a 6000 x 4000 PNG of smooth gradients in 81 KB, the most for
// its size measured, takes 0.35 to 0.4 s with huge pages, twice that
// without), and none that fits the memory bound takes a minute; a small
// file that asks for seconds (a JPEG cut short, thousands of empty scans, a
// screen filled pixel by pixel) is stopped within a second.
inline qint64 tempsDeCalculMs(qint64 octets)
{
    const qint64 mib = 1024 * 1024;
    return 400 + qBound(qint64(0), octets, 30 * mib) * 2000 / mib;
}

// How long the viewer waits for its answer: half as long again, and half a
// second for starting the helper on a busy machine; a decoder that sleeps
// spends no processor time.
inline qint64 tempsDAttenteMs(qint64 octets)
{
    return tempsDeCalculMs(octets) * 3 / 2 + 500;
}

} // namespace protocole

#endif // PROTOCOLE_H
