#include "lecture.h"

#include "couleurs.h"
#include "protocole.h"

#include <QColorSpace>

#include <QBuffer>
#include <QImageIOHandler>
#include <QImageReader>
#include <QRect>
#include <QTransform>

#include <memory>
#include <utility>

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

bool tourne(QImageIOHandler::Transformations t)
{
    return t & QImageIOHandler::TransformationRotate90;
}

// Where `partie` of a picture turned by `t` lies in the picture as stored,
// of size `stockee`. The picture is shown mirrored, then flipped, then
// turned a quarter clockwise, as its metadata asks: undone in reverse.
QRect avantTransformation(QRect partie, QImageIOHandler::Transformations t, const QSize &stockee)
{
    if (tourne(t))
        partie = QRect(partie.y(), stockee.height() - partie.x() - partie.width(), partie.height(), partie.width());
    if (t & QImageIOHandler::TransformationMirror)
        partie.moveLeft(stockee.width() - partie.x() - partie.width());
    if (t & QImageIOHandler::TransformationFlip)
        partie.moveTop(stockee.height() - partie.y() - partie.height());
    return partie;
}

// Where the part a label capped at `visible` shows of the picture turned by
// `t` lies in the picture as stored, of size `stockee`.
QRect partieStockee(const QSize &stockee, QImageIOHandler::Transformations t, const QSize &visible)
{
    return avantTransformation(partieVisible(tourne(t) ? stockee.transposed() : stockee, visible), t, stockee);
}

// The picture turned and mirrored as its metadata asks.
QImage transformer(const QImage &image, QImageIOHandler::Transformations t)
{
    QImage resultat = image.mirrored(t & QImageIOHandler::TransformationMirror, t & QImageIOHandler::TransformationFlip);
    return tourne(t) ? resultat.transformed(QTransform().rotate(90)) : resultat;
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

QImage lirePartieVisible(QIODevice *fichier, const QByteArray &suffixe, const QSize &visible, const QByteArray &ecran)
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
    // The picture is turned here, after its colours are read (a quarter
    // turn in the reader drops its colour space); a reader that cuts while
    // decoding is told where the visible part of the turned picture lies in
    // the stored one. The size it tells is only its word.
    lecteur.setAutoTransform(false);
    const QImageIOHandler::Transformations transformation = lecteur.transformation();
    if (lecteur.supportsOption(QImageIOHandler::ClipRect)) {
        const QSize taille = lecteur.size();
        const QRect partie = partieStockee(taille, transformation, visible);
        if (!taille.isEmpty() && partie.size() != taille)
            lecteur.setClipRect(partie);
    }
    QImage image = lecteur.read();
    if (!lecteur.clipRect().isValid()) {
        // Cut first, so only the visible part is converted and turned.
        image = image.copy(partieStockee(image.size(), transformation, visible));
    }
    // The profile as Qt's reader kept it, else as the file holds it: an
    // untagged picture is sRGB, and one Qt reads as sRGB needs nothing for
    // an sRGB screen.
    QByteArray profil;
    if (image.colorSpace().isValid())
        profil = image.colorSpace() == QColorSpace(QColorSpace::SRgb) ? QByteArray() : image.colorSpace().iccProfile();
    else if (!image.isNull())
        profil = couleurs::profilDuConteneur(fichier);
    image = transformer(couleurs::versEcran(std::move(image), profil, ecran), transformation);

    // Whatever the reader made of it (one that tells no size, cuts only
    // after decoding, or says one size and delivers another), only what the
    // label shows goes back.
    const QRect partie = partieVisible(image.size(), visible);
    if (partie.size() != image.size())
        image = image.copy(partie);
    if (image.colorCount() > 0 || image.format() == QImage::Format_Mono || image.format() == QImage::Format_MonoLSB
        || image.format() == QImage::Format_Indexed8)
        image = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    return image;
}

} // namespace lecture
