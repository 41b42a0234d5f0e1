#include "lecture.h"

#include "protocole.h"

#include <QBuffer>
#include <QImageIOHandler>
#include <QImageReader>
#include <QRect>

#include <memory>

namespace lecture {

namespace {

// The part of a picture of the given size that a label capped at `visible`
// can ever show: the left columns, and the rows it keeps when it centres the
// picture vertically (it halves both heights before subtracting).
QRect partieVisible(const QSize &taille, const QSize &visible)
{
    const int largeur = qMin(taille.width(), visible.width());
    const int hauteur = qMin(taille.height(), visible.height());
    return QRect(0, taille.height() / 2 - hauteur / 2, largeur, hauteur);
}

} // namespace

void chargerLecteurs()
{
    // Asked of an empty device, Qt offers it to every reader plugin in turn,
    // loading each.
    QBuffer vide;
    vide.open(QIODevice::ReadOnly);
    QImageReader(&vide).canRead();
}

QImage lirePartieVisible(QIODevice *fichier, const QByteArray &suffixe, const QSize &visible)
{
    std::unique_ptr<QImageReader> parSuffixe;
    if (QImageReader::supportedImageFormats().contains(suffixe)) {
        parSuffixe.reset(new QImageReader(fichier, suffixe));
        if (!parSuffixe->canRead()) {
            parSuffixe.reset();
            fichier->seek(0);
        }
    }
    const std::unique_ptr<QImageReader> parContenu(parSuffixe ? nullptr : new QImageReader(fichier));
    QImageReader &lecteur = parSuffixe ? *parSuffixe : *parContenu;
    // Qt 6 readers have a lower bound of their own; ours is the one that holds.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    lecteur.setAllocationLimit(int(protocole::octetsDecodesMax >> 20));
#endif
    // A reader that cuts while decoding is told the visible part, unless it
    // turns the picture as it delivers it: the cut would then fall on the
    // picture as stored. The size it tells is only its word.
    if (lecteur.supportsOption(QImageIOHandler::ClipRect)
        && !(lecteur.autoTransform() && lecteur.transformation() != QImageIOHandler::TransformationNone)) {
        const QSize taille = lecteur.size();
        const QRect partie = partieVisible(taille, visible);
        if (!taille.isEmpty() && partie.size() != taille)
            lecteur.setClipRect(partie);
    }
    QImage image = lecteur.read();

    // Whatever the reader made of it (one that tells no size, cuts only
    // after decoding, turns, or says one size and delivers another), only
    // what the label shows goes back.
    const QRect partie = partieVisible(image.size(), visible);
    if (partie.size() != image.size())
        image = image.copy(partie);
    if (image.colorCount() > 0 || image.format() == QImage::Format_Mono || image.format() == QImage::Format_MonoLSB
        || image.format() == QImage::Format_Indexed8)
        image = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    return image;
}

} // namespace lecture
