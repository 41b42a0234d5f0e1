// Writes the fuzz target's first corpus into the folder given: small files
// of every format Qt's own readers know, written by Qt where it writes them
// and byte by byte where it does not, with the odd corners of each (16-bit
// samples, text, progressive scans, top-down rows, icons holding a PNG).

#include <QBuffer>
#include <QColorSpace>
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QImageWriter>

#include <cstdio>

#include "fichiers.h"

namespace {

// A small picture where every pixel differs, with some transparency.
QImage motif(int largeur, int hauteur)
{
    QImage image(largeur, hauteur, QImage::Format_ARGB32);
    for (int y = 0; y < hauteur; ++y)
        for (int x = 0; x < largeur; ++x)
            image.setPixel(x, y, qRgba(x * 15, y * 19, (x ^ y) * 7, x == y ? 0x80 : 0xff));
    return image;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const QDir dossier(QString::fromLocal8Bit(argv[1]));
    bool ok = QDir().mkpath(dossier.path());
    const auto graine = [&](const char *nom, const QByteArray &octets) {
        ok = fichiers::ecrire(dossier.filePath(QLatin1String(nom)), octets) && ok;
    };
    const auto parQt = [&](const char *nom, const QImage &image, const char *format,
                           const QByteArray &sousType = QByteArray(), bool progressif = false) {
        QImageWriter ecrivain(dossier.filePath(QLatin1String(nom)), format);
        if (!sousType.isEmpty())
            ecrivain.setSubType(sousType);
        ecrivain.setProgressiveScanWrite(progressif);
        ok = ecrivain.write(image) && ok;
    };

    const QImage image = motif(17, 13);
    parQt("argb.png", image, "png");
    parQt("rgb.png", image.convertToFormat(QImage::Format_RGB32), "png");
    parQt("gris.png", image.convertToFormat(QImage::Format_Grayscale8), "png");
    parQt("palette.png", image.convertToFormat(QImage::Format_Indexed8), "png");
    parQt("mono.png", image.convertToFormat(QImage::Format_Mono), "png");
    parQt("16bits.png", image.convertToFormat(QImage::Format_RGBA64), "png");
    parQt("base.jpg", image, "jpeg");
    parQt("progressif.jpg", image, "jpeg", QByteArray(), true);
    parQt("gris.jpg", image.convertToFormat(QImage::Format_Grayscale8), "jpeg");
    parQt("32bits.bmp", image, "bmp");
    // Colour profiles, which the helper converts from: Qt writes them into
    // PNG's iCCP chunk and JPEG's APP2 segments.
    QImage p3 = image.convertToFormat(QImage::Format_RGB32);
    p3.setColorSpace(QColorSpace::DisplayP3);
    parQt("p3.png", p3, "png");
    parQt("p3.jpg", p3, "jpeg");
    QImage grisAdobe = image.convertToFormat(QImage::Format_Grayscale8);
    grisAdobe.setColorSpace(QColorSpace::AdobeRgb);
    parQt("gris-adobe.png", grisAdobe, "png");
    {
        QBuffer tampon;
        tampon.open(QIODevice::WriteOnly);
        QImageWriter(&tampon, "jpeg").write(p3);
        graine("p3-orientation-6.jpg", fichiers::jpegOriente(tampon.data(), 6));
    }
    parQt("24bits.bmp", image.convertToFormat(QImage::Format_RGB888), "bmp");
    parQt("8bits.bmp", image.convertToFormat(QImage::Format_Indexed8), "bmp");
    parQt("1bit.bmp", image.convertToFormat(QImage::Format_Mono), "bmp");
    parQt("brut.ppm", image, "ppm", "ppmraw");
    parQt("texte.ppm", image, "ppm", "ppm");
    parQt("brut.pgm", image, "pgm", "pgmraw");
    parQt("texte.pgm", image, "pgm", "pgm");
    parQt("brut.pbm", image, "pbm", "pbmraw");
    parQt("texte.pbm", image, "pbm", "pbm");
    parQt("image.xbm", image, "xbm");
    parQt("image.xpm", image, "xpm");
    parQt("image.ico", image, "ico");

    using namespace fichiers;
    graine("image.gif", gif(9, 7, 6, 5, qRgb(10, 200, 30)));
    graine("base-gris.jpg", jpegGris(40, 24, false));
    graine("progressif-gris.jpg", jpegGris(40, 24, true, -1, 3));
    graine("de-haut-en-bas.bmp", bmpDeHautEnBas(image.convertToFormat(QImage::Format_RGB32)));
    const QByteArray petitPng = png(5, 3, 8, 6, QByteArray("\x10\x20\x30\x40", 4),
                                    chunk("tEXt", QByteArray("Title\0seed", 10)) + texteCompresse(64));
    graine("textes.png", petitPng);
    graine("png-dans-icone.ico", icone(petitPng, 1));
    graine("png-dans-curseur.cur", icone(petitPng, 2));
    if (!ok)
        std::fprintf(stderr, "could not write every seed into %s\n", argv[1]);
    return ok ? 0 : 1;
}
