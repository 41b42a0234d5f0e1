#ifndef FICHIERS_H
#define FICHIERS_H

// Picture files written byte by byte, as a careless or hostile program might:
// well-formed ones that declare any size for a few bytes, damaged ones, and
// the odd corners of each format. The unit tests and the fuzz target's seeds
// both use them.

#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QRgb>
#include <QString>

#include <zlib.h>

namespace fichiers {

// Appends n in `taille` bytes, big-endian (PNG, JPEG) or little-endian (GIF, ICO).
inline void ajouterEntier(QByteArray &octets, quint32 n, int taille, bool grandBoutiste = true)
{
    for (int k = 0; k < taille; ++k) {
        const int decalage = 8 * (grandBoutiste ? taille - 1 - k : k);
        octets.append(char((n >> decalage) & 0xff));
    }
}

inline QByteArray chunk(const char *type, const QByteArray &donnees)
{
    QByteArray octets;
    ajouterEntier(octets, quint32(donnees.size()), 4);
    const QByteArray corps = QByteArray(type, 4) + donnees;
    octets.append(corps);
    ajouterEntier(octets, quint32(crc32(0, reinterpret_cast<const Bytef *>(corps.constData()), uInt(corps.size()))), 4);
    return octets;
}

// A well-formed PNG of one colour, compressed row by row, so a picture far
// larger than memory costs only its compressed bytes. `pixel` holds one
// pixel's samples as the bit depth and colour type lay them out; `avantDonnees`
// is put in before the pixels (text, say).
inline QByteArray png(quint32 largeur, quint32 hauteur, char profondeur, char typeCouleur,
                      const QByteArray &pixel, const QByteArray &avantDonnees = QByteArray())
{
    QByteArray entete;
    ajouterEntier(entete, largeur, 4);
    ajouterEntier(entete, hauteur, 4);
    entete.append(profondeur);
    entete.append(typeCouleur);
    entete.append("\x00\x00\x00", 3); // deflate, adaptive filters, no interlace

    z_stream flux{};
    if (deflateInit(&flux, 1) != Z_OK)
        return QByteArray();
    const QByteArray ligne = QByteArray(1, '\0') + pixel.repeated(int(largeur)); // filter: none
    QByteArray compresse;
    QByteArray tampon(1 << 16, Qt::Uninitialized);
    const auto pousser = [&](int vidage) {
        do {
            flux.next_out = reinterpret_cast<Bytef *>(tampon.data());
            flux.avail_out = uInt(tampon.size());
            deflate(&flux, vidage);
            compresse.append(tampon.constData(), tampon.size() - int(flux.avail_out));
        } while (flux.avail_out == 0);
    };
    for (quint32 y = 0; y < hauteur; ++y) {
        flux.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(ligne.constData()));
        flux.avail_in = uInt(ligne.size());
        pousser(Z_NO_FLUSH);
    }
    pousser(Z_FINISH);
    deflateEnd(&flux);

    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", entete) + avantDonnees
        + chunk("IDAT", compresse) + chunk("IEND", QByteArray());
}

// A compressed text chunk (zTXt) that inflates to `taille` letters.
inline QByteArray texteCompresse(int taille)
{
    const QByteArray texte(taille, 'a');
    QByteArray compresse(int(compressBound(uLong(texte.size()))), Qt::Uninitialized);
    uLongf longueur = uLongf(compresse.size());
    compress2(reinterpret_cast<Bytef *>(compresse.data()), &longueur,
              reinterpret_cast<const Bytef *>(texte.constData()), uLong(texte.size()), 9);
    compresse.resize(int(longueur));
    return chunk("zTXt", QByteArray("Comment\0\0", 9) + compresse);
}

// A uniform mid-grey JPEG. Baseline, each 8 x 8 block is a zero DC
// difference and an end of block; progressive, it is a DC scan alone, one
// zero difference a block. Both are the one-bit code 0 of one-symbol Huffman
// tables, so the scan is only zero bytes: a picture of any size costs a
// quarter or an eighth of a byte a block. `octetsDeScan` cuts the scan short
// (-1: all of it). A progressive one may add `balayagesAC` scans of the AC
// coefficients, each a handful of bytes: runs of 32767 empty blocks (EOB14).
inline QByteArray jpegGris(quint16 largeur, quint16 hauteur, bool progressif, qint64 octetsDeScan = -1,
                           int balayagesAC = 0)
{
    QByteArray jpeg("\xff\xd8", 2);
    const auto segment = [&jpeg](char marqueur, const QByteArray &donnees) {
        jpeg.append('\xff');
        jpeg.append(marqueur);
        ajouterEntier(jpeg, quint32(donnees.size() + 2), 2);
        jpeg.append(donnees);
    };
    segment('\xdb', QByteArray(1, '\0') + QByteArray(64, '\1')); // quantisation table 0
    QByteArray trame(1, '\x08');
    ajouterEntier(trame, hauteur, 2);
    ajouterEntier(trame, largeur, 2);
    trame.append("\x01\x01\x11\x00", 4); // one component, 1 x 1, table 0
    segment(progressif ? '\xc2' : '\xc0', trame);
    QByteArray huffman(1 + 16 + 1, '\0');
    huffman[1] = 1; // a single code of length 1, for symbol 0
    segment('\xc4', huffman); // DC table 0
    huffman[0] = '\x10';
    segment('\xc4', huffman); // AC table 0
    huffman[0] = '\x11';
    huffman[17] = '\xe0';
    segment('\xc4', huffman); // AC table 1: EOB14 alone
    // Component 1 with tables 0, spectral selection 0-63 (baseline) or the DC alone.
    segment('\xda', QByteArray(progressif ? "\x01\x01\x00\x00\x00\x00" : "\x01\x01\x00\x00\x3f\x00", 6));
    const qint64 blocs = qint64((largeur + 7) / 8) * ((hauteur + 7) / 8);
    const qint64 octets = ((progressif ? 1 : 2) * blocs + 7) / 8;
    jpeg.append(QByteArray(int(octetsDeScan < 0 ? octets : qMin(octets, octetsDeScan)), '\0'));

    // EOB14 is code 0 then 14 bits of run: all ones, 32767 blocks. The bits
    // go most significant first, a 0xff byte followed by a stuffed zero.
    QByteArray donneesAC;
    quint32 bits = 0;
    int enAttente = 0;
    for (qint64 reste = blocs; reste > 0; reste -= 32767) {
        bits = (bits << 15) | 0x3fff;
        for (enAttente += 15; enAttente >= 8; enAttente -= 8) {
            donneesAC.append(char((bits >> (enAttente - 8)) & 0xff));
            if (uchar(donneesAC.back()) == 0xff)
                donneesAC.append('\0');
        }
    }
    if (enAttente > 0) {
        donneesAC.append(char(((bits << (8 - enAttente)) | (0xff >> enAttente)) & 0xff));
        if (uchar(donneesAC.back()) == 0xff)
            donneesAC.append('\0');
    }
    for (int n = 0; progressif && n < balayagesAC; ++n) {
        segment('\xda', QByteArray("\x01\x01\x01\x01\x3f\x00", 6)); // AC 1-63 of component 1, table 1
        jpeg.append(donneesAC);
    }
    jpeg.append("\xff\xd9", 2);
    return jpeg;
}

// An icon (type 1) or a cursor (type 2) whose one entry is `image`.
inline QByteArray icone(const QByteArray &image, int type)
{
    QByteArray ico;
    ajouterEntier(ico, 0, 2, false);
    ajouterEntier(ico, quint32(type), 2, false);
    ajouterEntier(ico, 1, 2, false);
    ico.append("\x00\x00\x00\x00", 4); // 256 x 256, no palette
    ajouterEntier(ico, 1, 2, false); // planes, or the cursor's hot spot
    ajouterEntier(ico, 32, 2, false); // bits a pixel
    ajouterEntier(ico, quint32(image.size()), 4, false);
    ajouterEntier(ico, 6 + 16, 4, false);
    return ico + image;
}

// A GIF whose first frame, at the top left of its screen, is of one colour.
// Each pixel is a literal LZW code after a clear code, so codes stay 3 bits.
inline QByteArray gif(quint16 largeurEcran, quint16 hauteurEcran, quint16 largeur, quint16 hauteur, QRgb couleur)
{
    QByteArray gif("GIF89a");
    ajouterEntier(gif, largeurEcran, 2, false);
    ajouterEntier(gif, hauteurEcran, 2, false);
    gif.append("\x80\x00\x00", 3); // a global table of two colours
    gif.append(char(qRed(couleur))).append(char(qGreen(couleur))).append(char(qBlue(couleur)));
    gif.append("\xff\xff\xff", 3);
    gif.append('\x2c');
    ajouterEntier(gif, 0, 4, false); // left, top
    ajouterEntier(gif, largeur, 2, false);
    ajouterEntier(gif, hauteur, 2, false);
    gif.append('\0');

    QByteArray codes;
    quint32 bits = 0;
    int enAttente = 0;
    const auto coder = [&](quint32 code) {
        bits |= code << enAttente;
        for (enAttente += 3; enAttente >= 8; enAttente -= 8, bits >>= 8)
            codes.append(char(bits & 0xff));
    };
    for (qint64 pixel = qint64(largeur) * hauteur; pixel > 0; --pixel) {
        coder(4); // clear
        coder(0); // the colour
    }
    coder(5); // end
    if (enAttente > 0)
        codes.append(char(bits & 0xff));
    gif.append('\x02'); // the smallest LZW code size
    for (int i = 0; i < codes.size(); i += 255) {
        const QByteArray bloc = codes.mid(i, 255);
        gif.append(char(bloc.size())).append(bloc);
    }
    return gif.append('\0').append('\x3b');
}

// `image` as a 24-bit BMP stored top down, which its header tells with a
// negative height.
inline QByteArray bmpDeHautEnBas(const QImage &image)
{
    const int octetsParLigne = (image.width() * 3 + 3) / 4 * 4;
    QByteArray bmp("BM");
    ajouterEntier(bmp, quint32(54 + octetsParLigne * image.height()), 4, false);
    ajouterEntier(bmp, 0, 4, false);
    ajouterEntier(bmp, 54, 4, false); // where the pixels start
    ajouterEntier(bmp, 40, 4, false); // the size of this header
    ajouterEntier(bmp, quint32(image.width()), 4, false);
    ajouterEntier(bmp, quint32(-image.height()), 4, false);
    ajouterEntier(bmp, 1, 2, false);
    ajouterEntier(bmp, 24, 2, false);
    bmp.append(QByteArray(24, '\0')); // no compression, and nothing else said
    for (int y = 0; y < image.height(); ++y) {
        QByteArray ligne(octetsParLigne, '\0');
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            ligne[3 * x] = char(qBlue(pixel));
            ligne[3 * x + 1] = char(qGreen(pixel));
            ligne[3 * x + 2] = char(qRed(pixel));
        }
        bmp.append(ligne);
    }
    return bmp;
}

// The 8-bit samples of a pixel, red first.
inline QByteArray rvb(QRgb pixel)
{
    return QByteArray().append(char(qRed(pixel))).append(char(qGreen(pixel))).append(char(qBlue(pixel)));
}

// `image` as an uncompressed 24-bit TGA, its rows bottom up as is usual,
// with the footer of the format's second version.
inline QByteArray tga(const QImage &image)
{
    QByteArray tga("\0\0\x02\0\0\0\0\0\0\0\0\0", 12); // true colour, no map, origin 0
    ajouterEntier(tga, quint32(image.width()), 2, false);
    ajouterEntier(tga, quint32(image.height()), 2, false);
    tga.append("\x18\x00", 2); // 24 bits, bottom-up rows
    for (int y = image.height() - 1; y >= 0; --y)
        for (int x = 0; x < image.width(); ++x) {
            const QByteArray p = rvb(image.pixel(x, y));
            tga.append(p[2]).append(p[1]).append(p[0]);
        }
    return tga.append(QByteArray(8, '\0')).append("TRUEVISION-XFILE.", 18);
}

// `image` as a 24-bit PCX: three planes a row, run-length coded, each
// byte a run of one.
inline QByteArray pcx(const QImage &image)
{
    const int octetsParLigne = (image.width() + 1) / 2 * 2;
    QByteArray pcx("\x0a\x05\x01\x08", 4); // ZSoft, version 5, RLE, 8 bits
    ajouterEntier(pcx, 0, 4, false); // left, top
    ajouterEntier(pcx, quint32(image.width() - 1), 2, false);
    ajouterEntier(pcx, quint32(image.height() - 1), 2, false);
    ajouterEntier(pcx, 72, 2, false);
    ajouterEntier(pcx, 72, 2, false);
    pcx.append(QByteArray(48 + 1, '\0')).append('\x03'); // no palette, three planes
    ajouterEntier(pcx, quint32(octetsParLigne), 2, false);
    ajouterEntier(pcx, 1, 2, false);
    pcx.append(QByteArray(128 - pcx.size(), '\0'));
    for (int y = 0; y < image.height(); ++y)
        for (int plan = 0; plan < 3; ++plan)
            for (int x = 0; x < octetsParLigne; ++x)
                pcx.append('\xc1').append(x < image.width() ? rvb(image.pixel(x, y)).at(plan) : '\0');
    return pcx;
}

// `image` as an uncompressed SGI picture: three channels one after the
// other, each bottom up.
inline QByteArray sgi(const QImage &image)
{
    QByteArray sgi;
    ajouterEntier(sgi, 474, 2); // magic
    sgi.append("\x00\x01", 2); // verbatim, a byte a sample
    ajouterEntier(sgi, 3, 2);
    ajouterEntier(sgi, quint32(image.width()), 2);
    ajouterEntier(sgi, quint32(image.height()), 2);
    ajouterEntier(sgi, 3, 2);
    ajouterEntier(sgi, 0, 4);
    ajouterEntier(sgi, 255, 4);
    sgi.append(QByteArray(512 - sgi.size(), '\0'));
    for (int canal = 0; canal < 3; ++canal)
        for (int y = image.height() - 1; y >= 0; --y)
            for (int x = 0; x < image.width(); ++x)
                sgi.append(rvb(image.pixel(x, y)).at(canal));
    return sgi;
}

// An Apple icon holding one entry, `png` (of 256 x 256 for ic08, 512 x 512 for ic09).
inline QByteArray icns(const char *type, const QByteArray &png)
{
    QByteArray icns("icns");
    ajouterEntier(icns, quint32(8 + 8 + png.size()), 4);
    icns.append(type, 4);
    ajouterEntier(icns, quint32(8 + png.size()), 4);
    return icns + png;
}

// `image` as an uncompressed RGB TIFF in one strip, whose orientation tag
// (1 to 8) says how to turn it for showing.
inline QByteArray tiff(const QImage &image, int orientation)
{
    QByteArray tiff("II*\0", 4);
    ajouterEntier(tiff, 8, 4, false);
    const int entrees = 11;
    const quint32 echantillons = 8 + 2 + 12 * entrees + 4; // after the directory
    const quint32 pixels = echantillons + 6;
    ajouterEntier(tiff, entrees, 2, false);
    const auto entree = [&tiff](quint32 etiquette, quint32 type, quint32 valeur, quint32 nombre = 1) {
        ajouterEntier(tiff, etiquette, 2, false);
        ajouterEntier(tiff, type, 2, false);
        ajouterEntier(tiff, nombre, 4, false);
        ajouterEntier(tiff, valeur, type == 3 && nombre == 1 ? 2 : 4, false);
        if (type == 3 && nombre == 1)
            ajouterEntier(tiff, 0, 2, false);
    };
    const quint32 octets = quint32(image.width() * image.height() * 3);
    entree(256, 4, quint32(image.width()));
    entree(257, 4, quint32(image.height()));
    entree(258, 3, echantillons, 3); // 8 bits a sample, held below
    entree(259, 3, 1); // no compression
    entree(262, 3, 2); // RGB
    entree(273, 4, pixels);
    entree(274, 3, quint32(orientation));
    entree(277, 3, 3);
    entree(278, 4, quint32(image.height()));
    entree(279, 4, octets);
    entree(284, 3, 1); // samples interleaved
    ajouterEntier(tiff, 0, 4, false); // no other directory
    tiff.append("\x08\0\x08\0\x08\0", 6);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            tiff.append(rvb(image.pixel(x, y)));
    return tiff;
}

// `jpeg` with an Exif segment after its start that gives it `orientation`
// (1 to 8: how the stored picture is to be turned and mirrored).
inline QByteArray jpegOriente(const QByteArray &jpeg, int orientation)
{
    QByteArray exif("Exif\0\0MM\0*", 10);
    ajouterEntier(exif, 8, 4); // the directory, right after this header
    ajouterEntier(exif, 1, 2);
    ajouterEntier(exif, 0x0112, 2); // orientation, one short
    ajouterEntier(exif, 3, 2);
    ajouterEntier(exif, 1, 4);
    ajouterEntier(exif, quint32(orientation), 2);
    ajouterEntier(exif, 0, 2);
    ajouterEntier(exif, 0, 4); // no other directory
    QByteArray segment("\xff\xe1", 2);
    ajouterEntier(segment, quint32(exif.size() + 2), 2);
    return jpeg.left(2) + segment + exif + jpeg.mid(2);
}

inline bool ecrire(const QString &chemin, const QByteArray &octets)
{
    QFile fichier(chemin);
    return !octets.isEmpty() && fichier.open(QIODevice::WriteOnly) && fichier.write(octets) == octets.size();
}

} // namespace fichiers

#endif // FICHIERS_H
