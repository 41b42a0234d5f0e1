#include "couleurs.h"

#include "protocole.h"

#include <QColorSpace>
#include <QIODevice>
#include <QVector>

#include <lcms2.h>
// Qt built with its own zlib exports it (the Windows build); Debian's uses
// the system's.
#if __has_include(<QtZlib/zlib.h>)
#include <QtZlib/zlib.h>
#else
#include <zlib.h>
#endif

#include <memory>

namespace couleurs {

namespace {

quint32 grandBoutiste(const QByteArray &octets, int ou)
{
    const auto o = [&](int i) { return quint32(uchar(octets[ou + i])); };
    return o(0) << 24 | o(1) << 16 | o(2) << 8 | o(3);
}

// A JPEG's profile, cut in numbered pieces over APP2 segments before the
// first scan.
QByteArray deJpeg(QIODevice *fichier)
{
    QVector<QByteArray> morceaux;
    qint64 octets = 0;
    for (;;) {
        const QByteArray marqueur = fichier->read(4);
        if (marqueur.size() != 4 || uchar(marqueur[0]) != 0xff || uchar(marqueur[1]) == 0xda
            || uchar(marqueur[1]) == 0xd9)
            break;
        const int longueur = int(uchar(marqueur[2])) << 8 | uchar(marqueur[3]);
        if (longueur < 2)
            return QByteArray();
        if (uchar(marqueur[1]) != 0xe2 || longueur < 2 + 14) {
            if (!fichier->seek(fichier->pos() + longueur - 2))
                break;
            continue;
        }
        const QByteArray segment = fichier->read(longueur - 2);
        if (segment.size() != longueur - 2)
            break;
        if (!segment.startsWith(QByteArray("ICC_PROFILE\0", 12)))
            continue;
        const int rang = uchar(segment[12]), nombre = uchar(segment[13]);
        if (rang < 1 || rang > nombre || (!morceaux.isEmpty() && morceaux.size() != nombre))
            return QByteArray();
        morceaux.resize(nombre);
        octets += segment.size() - 14;
        if (!morceaux[rang - 1].isNull() || octets > protocole::octetsDuProfilMax)
            return QByteArray();
        morceaux[rang - 1] = segment.mid(14);
    }
    QByteArray profil;
    for (const QByteArray &morceau : morceaux) {
        if (morceau.isNull())
            return QByteArray();
        profil += morceau;
    }
    return profil;
}

// Inflates a zlib stream, to at most a profile's size.
QByteArray gonfler(const QByteArray &comprime)
{
    z_stream flux{};
    if (inflateInit(&flux) != Z_OK)
        return QByteArray();
    QByteArray profil;
    char tampon[16384];
    flux.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(comprime.constData()));
    flux.avail_in = uInt(comprime.size());
    int etat = Z_OK;
    while (etat == Z_OK && profil.size() <= protocole::octetsDuProfilMax) {
        flux.next_out = reinterpret_cast<Bytef *>(tampon);
        flux.avail_out = sizeof tampon;
        etat = inflate(&flux, Z_NO_FLUSH);
        profil.append(tampon, int(sizeof tampon - flux.avail_out));
    }
    inflateEnd(&flux);
    return etat == Z_STREAM_END && profil.size() <= protocole::octetsDuProfilMax ? profil : QByteArray();
}

// A PNG's profile: its iCCP chunk (a name, a compression method, then the
// profile deflated), before the pixels.
QByteArray dePng(QIODevice *fichier)
{
    for (;;) {
        const QByteArray entete = fichier->read(8);
        if (entete.size() != 8)
            return QByteArray();
        const quint32 longueur = grandBoutiste(entete, 0);
        const QByteArray type = entete.mid(4);
        if (longueur > 0x7fffffff || type == "IDAT" || type == "IEND")
            return QByteArray();
        if (type != "iCCP") {
            if (!fichier->seek(fichier->pos() + longueur + 4))
                return QByteArray();
            continue;
        }
        if (longueur > protocole::octetsDuProfilMax)
            return QByteArray();
        const QByteArray donnees = fichier->read(longueur);
        const int finDuNom = donnees.indexOf('\0');
        if (donnees.size() != int(longueur) || finDuNom < 1 || finDuNom > 79 || finDuNom + 2 > donnees.size()
            || donnees[finDuNom + 1] != 0)
            return QByteArray();
        return gonfler(donnees.mid(finDuNom + 2));
    }
}

// A WebP's profile: its ICCP chunk.
QByteArray deWebp(QIODevice *fichier)
{
    for (;;) {
        const QByteArray entete = fichier->read(8);
        if (entete.size() != 8)
            return QByteArray();
        const auto o = [&](int i) { return quint32(uchar(entete[4 + i])); };
        const quint32 longueur = o(0) | o(1) << 8 | o(2) << 16 | o(3) << 24;
        if (entete.startsWith("ICCP"))
            return longueur <= protocole::octetsDuProfilMax ? fichier->read(longueur) : QByteArray();
        if (entete.startsWith("VP8 ") || entete.startsWith("VP8L") || longueur > 0x7fffffff
            || !fichier->seek(fichier->pos() + longueur + (longueur & 1)))
            return QByteArray();
    }
}

void taire(cmsContext, cmsUInt32Number, const char *) {}

struct FermerProfil
{
    void operator()(void *profil) const { cmsCloseProfile(profil); }
};
using Profil = std::unique_ptr<void, FermerProfil>;

struct FermerTransformation
{
    void operator()(void *transformation) const { cmsDeleteTransform(transformation); }
};
using Transformation = std::unique_ptr<void, FermerTransformation>;

Profil ouvrir(const QByteArray &icc)
{
    return Profil(icc.isEmpty() ? cmsCreate_sRGBProfile()
                                : cmsOpenProfileFromMem(icc.constData(), cmsUInt32Number(icc.size())));
}

} // namespace

QByteArray profilDuConteneur(QIODevice *fichier)
{
    if (!fichier->seek(0))
        return QByteArray();
    const QByteArray debut = fichier->read(12);
    if (debut.startsWith("\xff\xd8")) {
        fichier->seek(2);
        return deJpeg(fichier);
    }
    if (debut.startsWith("\x89PNG\r\n\x1a\n")) {
        fichier->seek(8);
        return dePng(fichier);
    }
    if (debut.startsWith("RIFF") && debut.mid(8) == "WEBP")
        return deWebp(fichier);
    return QByteArray();
}

QImage versEcran(QImage image, const QByteArray &source, const QByteArray &ecran)
{
    // An sRGB screen needs nothing for an sRGB picture, nor any screen for
    // a picture already in its profile.
    const bool ecranSrgb = ecran.isEmpty() || QColorSpace::fromIccProfile(ecran) == QColorSpace(QColorSpace::SRgb);
    if (image.isNull() || (source.isEmpty() && ecranSrgb) || source == ecran)
        return image;
    cmsSetLogErrorHandler(taire);
    const Profil de = ouvrir(source);
    Profil vers = ouvrir(ecran);
    if (vers && cmsGetColorSpace(vers.get()) != cmsSigRgbData)
        vers = ouvrir(QByteArray());
    if (!de || !vers)
        return image;
    const bool gris = cmsGetColorSpace(de.get()) == cmsSigGrayData;
    if (!gris && cmsGetColorSpace(de.get()) != cmsSigRgbData)
        return image;
    // Qt's 32-bit pixels are words: their bytes lie in memory as the
    // machine orders words. No cache of the last pixel: a photo's
    // neighbours seldom repeat, and checking costs twice the conversion.
    const cmsUInt32Number quatre = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? TYPE_BGRA_8 : TYPE_ARGB_8;
    const Transformation transformation(cmsCreateTransform(de.get(), gris ? TYPE_GRAY_8 : quatre, vers.get(), quatre,
                                                           INTENT_PERCEPTUAL,
                                                           cmsFLAGS_NOCACHE | (gris ? 0 : cmsFLAGS_COPY_ALPHA)));
    if (!transformation)
        return image;
    // Colour pixels are converted where they lie, as they keep their size;
    // grey ones become colour ones beside them.
    QImage entree = image.convertToFormat(gris ? QImage::Format_Grayscale8
                                               : image.hasAlphaChannel() ? QImage::Format_ARGB32
                                                                         : QImage::Format_RGB32);
    QImage sortie;
    if (gris) {
        sortie = QImage(entree.size(), QImage::Format_RGB32);
        sortie.fill(0xffffffff); // the padding byte, which the transform does not write
    }
    if (entree.isNull() || (gris && sortie.isNull()))
        return image;
    image = QImage();
    entree.setColorSpace(QColorSpace());
    QImage &cible = gris ? sortie : entree;
    for (int y = 0; y < cible.height(); ++y) {
        uchar *ligne = cible.scanLine(y);
        cmsDoTransform(transformation.get(), gris ? entree.constScanLine(y) : ligne, ligne,
                       cmsUInt32Number(cible.width()));
    }
    return cible;
}

} // namespace couleurs
