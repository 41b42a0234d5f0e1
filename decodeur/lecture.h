#ifndef LECTURE_H
#define LECTURE_H

// The decoding itself, apart from how the helper gets its file and sends the
// pixels back, so that the fuzz target drives exactly this.

#include <QByteArray>
#include <QImage>
#include <QSize>

class QIODevice;

namespace lecture {

// Loads every picture reader Qt finds, reading nothing, so that none needs to
// open its library once the sandbox is shut.
void chargerLecteurs();

// Decodes what a label capped at `visible` shows of the picture in `fichier`,
// as the reader delivers it: the left columns and the middle rows. The
// reader is the one Qt picks for a file whose name ends in `suffixe`: the one
// the suffix names if it recognises the content, else the one the content
// names. The picture is turned and mirrored as its metadata asks, and its
// colours converted from its embedded profile to `ecran`, the screen's ICC
// profile (empty: sRGB). Null when there is no picture. The result carries
// no colour table, so it travels as rows of pixels.
QImage lirePartieVisible(QIODevice *fichier, const QByteArray &suffixe, const QSize &visible,
                         const QByteArray &ecran = QByteArray());

} // namespace lecture

#endif // LECTURE_H
