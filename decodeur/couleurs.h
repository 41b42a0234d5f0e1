#ifndef COULEURS_H
#define COULEURS_H

// The picture's colours as they were meant: converted from the profile its
// file embeds to the screen's, with Little CMS, which reads every kind of
// ICC profile (Qt's own colour spaces read only matrix-and-curve ones).

#include <QByteArray>
#include <QImage>

class QIODevice;

namespace couleurs {

// The ICC profile embedded in the file's container, for when Qt's reader
// kept none it could read: a JPEG's APP2 segments, a PNG's iCCP chunk, a
// WebP's ICCP chunk. Empty when there is none, or it is damaged or larger
// than a profile may be. Reads from the start of `fichier`.
QByteArray profilDuConteneur(QIODevice *fichier);

// `image` with its colours converted from the profile `source` (ICC bytes;
// empty: sRGB, as an untagged picture is) to the screen's `ecran` (empty:
// sRGB). Any profile that cannot be read or used leaves the colours as
// they are. The result is 8 bits a channel, as the screen shows it; an
// image handed over whole (moved in) is converted in its own pixels.
QImage versEcran(QImage image, const QByteArray &source, const QByteArray &ecran);

} // namespace couleurs

#endif // COULEURS_H
