#include "MaFenetre.h"

#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QRect>
#include <QVBoxLayout>
#include <QVector>

#include <cstdio>
#include <cstring>
#include <limits>

// dup and dup2, to set the standard error stream aside and back.
#ifdef _MSC_VER
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// A picture file's header can claim any size, and a few bytes of file can
// declare 30000 x 30000 pixels. Decoding that would take gigabytes and freeze
// the window, so a file whose decoding would take more than 1 GiB is refused.
// That still leaves room for 8-bit photos of up to 268 megapixels (4 bytes a
// pixel decoded) and 16-bit ones of up to 134 megapixels (8 bytes a pixel).
constexpr qint64 octetsDecodesMax = qint64(1) << 30;

// The text of a PNG (its tEXt, zTXt and iTXt chunks) may take this much once
// inflated, and no more: real metadata is a few kilobytes, and inflating
// more would freeze the window even where it fits in memory. libpng itself
// sets no limit on Debian.
constexpr qint64 octetsTexteMax = qint64(64) << 20;

// What a reader may go through beyond what the file holds, in samples: a
// free allowance (a fraction of a second), then 512 for each byte of the
// file, 8 blocks of 8 x 8 a byte for JPEG.
constexpr qint64 travailLibre = qint64(1) << 24;
constexpr qint64 travailParOctet = 512;

// While a file is read, the toolkit passes on what its readers and the
// libraries under them say ("iCCP: known incorrect sRGB profile", "Corrupt
// JPEG data: ..."), and libpng writes its errors to the standard error
// stream itself. The viewer prints nothing, so all of that goes nowhere: the
// toolkit's messages to a handler that drops them, the stream to the null
// device. What was there before comes back afterwards.
class SansMessages
{
public:
    SansMessages() : precedent(qInstallMessageHandler(&ignorer))
    {
        std::fflush(stderr);
        QFile nul(QProcess::nullDevice());
        if (nul.open(QIODevice::WriteOnly) && (erreurs = dup(2)) >= 0)
            dup2(nul.handle(), 2);
    }
    ~SansMessages()
    {
        std::fflush(stderr);
        if (erreurs >= 0) {
            dup2(erreurs, 2);
            close(erreurs);
        }
        qInstallMessageHandler(precedent);
    }
    SansMessages(const SansMessages &) = delete;
    SansMessages &operator=(const SansMessages &) = delete;

private:
    static void ignorer(QtMsgType, const QMessageLogContext &, const QString &) {}
    const QtMessageHandler precedent;
    int erreurs = -1; // the standard error stream's own descriptor, kept aside
};

// Every number below is read from the file, so none is trusted: a missing
// byte reads as -1, every length is checked before it is used, and sizes are
// multiplied without overflow.

// More than any bound, yet a few of it still add up without overflow.
constexpr qint64 demesure = qint64(1) << 60;

// a * b for numbers from a file (not negative), or `demesure` beyond it.
qint64 produit(qint64 a, qint64 b)
{
    return b != 0 && a > demesure / b ? demesure : a * b;
}

// The unsigned number of `n` bytes at `i`, big-endian (PNG, JPEG) or
// little-endian (GIF, ICO); -1 when the bytes are not all there.
qint64 nombre(const QByteArray &octets, int i, int n, bool grandBoutiste)
{
    if (i < 0 || n > octets.size() - i)
        return -1;
    qint64 valeur = 0;
    for (int k = 0; k < n; ++k)
        valeur = (valeur << 8) | uchar(octets[i + (grandBoutiste ? k : n - 1 - k)]);
    return valeur;
}

// Up to `n` bytes of the file at `position`.
QByteArray lire(QIODevice &fichier, qint64 position, int n)
{
    return position >= 0 && fichier.seek(position) ? fichier.read(n) : QByteArray();
}

// What a picture of this size takes in memory, rows padded to 4 bytes as
// QImage lays them out.
qint64 octetsImage(const QSize &taille, int bitsParPixel)
{
    const qint64 octetsParLigne = (qint64(taille.width()) * bitsParPixel + 31) / 32 * 4;
    return produit(octetsParLigne, taille.height());
}

// What a pixel will take once decoded, as the reader tells it. A reader that
// does not say, or names no format at all, is counted at 8 bytes, the deepest
// format Qt decodes into, so the bound never counts low.
int bitsParPixel(const QImageReader &lecteur)
{
    const QImage::Format format = lecteur.imageFormat();
    if (format <= QImage::Format_Invalid || format >= QImage::NImageFormats)
        return 64;
    return QImage::toPixelFormat(format).bitsPerPixel();
}

// The part of a picture of the given size that a label capped at visible
// can ever show: the left columns, and the rows it keeps when it centres the
// picture vertically (it halves both heights before subtracting).
QRect partieVisible(const QSize &taille, const QSize &visible)
{
    const int largeur = qMin(taille.width(), visible.width());
    const int hauteur = qMin(taille.height(), visible.height());
    return QRect(0, taille.height() / 2 - hauteur / 2, largeur, hauteur);
}

// What the file itself tells of its decoding, where the reader's word is not
// the whole story. `octets` adds to what the reader's size and format give,
// or stands alone when `seul`; -1 refuses the file. `taille`, when valid, is
// the size the reader really decodes. `travail` counts the samples the
// reader goes through whether or not the file holds them.
struct Supplement
{
    qint64 octets = 0;
    bool seul = false;
    QSize taille;
    qint64 travail = 0;
};

// The next JPEG marker from where the file stands, found as libjpeg finds it:
// a 0xff followed by anything but fill (0xff) or a stuffed zero, whatever
// comes before (garbage, or a scan's data). Leaves the file just after it;
// 0 at the end of the file.
int prochainMarqueur(QIODevice &fichier)
{
    char octets[4096];
    bool apresFF = false;
    for (;;) {
        const qint64 debut = fichier.pos();
        const qint64 lus = fichier.read(octets, sizeof octets);
        if (lus <= 0)
            return 0;
        for (qint64 i = 0; i < lus; ++i) {
            if (!apresFF) {
                const void *ff = memchr(octets + i, 0xff, size_t(lus - i));
                if (!ff)
                    break;
                i = static_cast<const char *>(ff) - octets;
                apresFF = true;
            } else if (uchar(octets[i]) != 0xff) {
                apresFF = false;
                if (octets[i] != 0)
                    return fichier.seek(debut + i + 1) ? uchar(octets[i]) : 0;
            }
        }
    }
}

// libjpeg decodes row by row down to the last row the label shows, so the
// rows above it cost time, though not memory. When the file is progressive,
// or its first scan does not carry every component, it must first hold every
// DCT coefficient of the whole frame: 64 coefficients of 2 bytes for each
// block of 8 x 8 samples, each component at its own sampling, in whole MCUs,
// whatever the clip; and it reads every scan of the file into them, each
// going through all the blocks of its components again, however little data
// it holds. All of that comes from the markers, read as libjpeg reads them
// (frame and scan headers, skipping the rest), which make no sense to it
// either when they make none here.
Supplement jpeg(QIODevice &fichier, const QSize &visible)
{
    const Supplement refus{-1, false, QSize(), 0};
    if (lire(fichier, 0, 2) != QByteArray("\xff\xd8", 2))
        return refus;
    QByteArray trame;
    bool progressif = false;
    // Per component, as the frame header lists them: its blocks in the
    // frame and in the rows down to the label's last, in whole MCUs.
    QVector<qint64> blocsTrame;
    QVector<qint64> blocsUtiles;
    qint64 visites = 0;
    bool premierScan = true;
    for (;;) {
        const int marqueur = prochainMarqueur(fichier);
        if (marqueur == 0x01 || (marqueur >= 0xd0 && marqueur <= 0xd7))
            continue; // markers without a segment
        if ((marqueur == 0 || marqueur == 0xd9) && !premierScan)
            break; // the end of the scans
        if (marqueur == 0 || marqueur == 0xd8 || marqueur == 0xd9)
            return refus; // no scan at all, or a second start
        const qint64 longueur = nombre(fichier.read(2), 0, 2, true);
        if (longueur < 2)
            return refus;

        const bool debutDeTrame = marqueur >= 0xc0 && marqueur <= 0xcf && marqueur != 0xc4
            && marqueur != 0xc8 && marqueur != 0xcc;
        if (debutDeTrame) {
            // libjpeg decodes baseline, extended and progressive frames, with
            // Huffman or arithmetic coding, and refuses a second frame.
            const bool lue = marqueur == 0xc0 || marqueur == 0xc1 || marqueur == 0xc2
                || marqueur == 0xc9 || marqueur == 0xca;
            if (!lue || !trame.isEmpty())
                return refus;
            trame = fichier.read(longueur - 2);
            if (trame.size() < 6 || uchar(trame[5]) == 0 || trame.size() < 6 + 3 * uchar(trame[5]))
                return refus;
            progressif = marqueur == 0xc2 || marqueur == 0xca;

            const qint64 hauteur = nombre(trame, 1, 2, true);
            const qint64 largeur = nombre(trame, 3, 2, true);
            const int composantes = uchar(trame[5]);
            int hMax = 1;
            int vMax = 1;
            for (int i = 0; i < composantes; ++i) {
                const int h = uchar(trame[7 + 3 * i]) >> 4;
                const int v = uchar(trame[7 + 3 * i]) & 0x0f;
                if (h < 1 || h > 4 || v < 1 || v > 4)
                    return refus;
                hMax = qMax(hMax, h);
                vMax = qMax(vMax, v);
            }
            // Blocks of a component across `echantillons` samples of the frame, in whole MCUs.
            const auto blocs = [](qint64 echantillons, int facteur, int facteurMax) {
                const qint64 n = (echantillons * facteur + 8 * facteurMax - 1) / (8 * facteurMax);
                return (n + facteur - 1) / facteur * facteur;
            };
            const int lignesUtiles = partieVisible(QSize(int(largeur), int(hauteur)), visible).bottom() + 1;
            for (int i = 0; i < composantes; ++i) {
                const int h = uchar(trame[7 + 3 * i]) >> 4;
                const int v = uchar(trame[7 + 3 * i]) & 0x0f;
                const qint64 colonnes = blocs(largeur, h, hMax);
                blocsTrame.append(colonnes * blocs(hauteur, v, vMax));
                blocsUtiles.append(colonnes * qMin(blocs(hauteur, v, vMax), blocs(lignesUtiles, v, vMax)));
            }
        } else if (marqueur == 0xda) {
            const QByteArray scan = fichier.read(longueur - 2);
            const qint64 composantesDuScan = nombre(scan, 0, 1, true);
            if (trame.isEmpty() || composantesDuScan < 1 || scan.size() < 1 + 2 * composantesDuScan)
                return refus;
            // The components it carries, by their identifiers in the frame.
            for (int k = 0; k < composantesDuScan; ++k)
                for (int i = 0; i < blocsTrame.size(); ++i)
                    if (trame[6 + 3 * i] == scan[1 + 2 * k])
                        visites += blocsTrame[i];
            // One interleaved scan of every component: decoded as it is read,
            // down to the label's last row and no further.
            if (premierScan && !progressif && composantesDuScan >= blocsTrame.size()) {
                qint64 utiles = 0;
                for (const qint64 n : qAsConst(blocsUtiles))
                    utiles += n;
                return {0, false, QSize(), utiles * 64};
            }
            premierScan = false;
        } else if (!fichier.seek(fichier.pos() + longueur - 2)) {
            return refus;
        }
    }

    // Every coefficient is held; each scan's pass over its blocks costs
    // about an eighth of decoding them.
    qint64 tous = 0;
    for (const qint64 n : qAsConst(blocsTrame))
        tous += n;
    return {tous * 64 * 2, false, QSize(), tous * 64 + visites * 8};
}

// Qt's GIF reader draws the first frame into a picture of the logical
// screen's size, which its size() does not always report: it disbelieves a
// screen ten times wider or taller than the frame there, but only beyond
// 163840 pixels when decoding. It fills that screen pixel by pixel, however
// little the file holds. When the frame asks to be undone afterwards
// (disposal 3), it also keeps a copy of the part it covers. Gives what those
// take, 4 bytes a pixel, read from the blocks up to the first frame as that
// reader reads them; there is nothing to decode without a frame.
Supplement gif(QIODevice &fichier)
{
    const Supplement refus{-1, true, QSize(), 0};
    const QByteArray entete = lire(fichier, 0, 13);
    if (entete.size() != 13)
        return refus;
    qint64 largeurEcran = nombre(entete, 6, 2, false);
    qint64 hauteurEcran = nombre(entete, 8, 2, false);
    const int drapeaux = uchar(entete[10]);
    qint64 position = 13 + ((drapeaux & 0x80) ? 3 << ((drapeaux & 7) + 1) : 0);
    int disposition = 0;
    for (;;) {
        const QByteArray bloc = lire(fichier, position, 4);
        if (bloc.size() < 2)
            return refus;
        if (uchar(bloc[0]) == 0x2c)
            break;
        if (uchar(bloc[0]) != 0x21)
            return refus; // the end, or a block the reader stops at
        position += 2;
        if (uchar(bloc[1]) == 0xf9) {
            // A graphic control block: its first byte after the length holds the
            // disposal. An empty one leaves the reader with a stale value, taken
            // here at its worst.
            const int codee = bloc.size() == 4 && uchar(bloc[2]) > 0 ? (uchar(bloc[3]) >> 2) & 7 : 3;
            disposition = codee <= 3 ? codee : 0;
        }
        // The extension's sub-blocks, up to the empty one.
        for (;;) {
            const qint64 taille = nombre(lire(fichier, position, 1), 0, 1, false);
            if (taille < 0)
                return refus;
            position += 1 + taille;
            if (taille == 0)
                break;
        }
    }

    const QByteArray cadre = lire(fichier, position + 1, 8);
    if (cadre.size() != 8)
        return refus;
    const qint64 gauche = nombre(cadre, 0, 2, false);
    const qint64 haut = nombre(cadre, 2, 2, false);
    const qint64 largeur = nombre(cadre, 4, 2, false);
    const qint64 hauteur = nombre(cadre, 6, 2, false);
    if (largeurEcran / 10 > qMax(largeur, qint64(16384)) || largeurEcran <= 0)
        largeurEcran = gauche + largeur;
    if (hauteurEcran / 10 > qMax(hauteur, qint64(16384)) || hauteurEcran <= 0)
        hauteurEcran = haut + hauteur;
    const qint64 ecran = largeurEcran * hauteurEcran;
    qint64 copie = 0;
    if (disposition == 3) {
        // The copy spans the frame's part of the screen, at least a pixel.
        const auto etendue = [](qint64 debut, qint64 taille, qint64 ecran) {
            const qint64 premier = qMin(ecran - 1, debut);
            const qint64 dernier = qMin(ecran - 1, qMax(qint64(0), qMin(debut + taille, ecran) - 1));
            return qMax(qint64(0), dernier - premier + 1);
        };
        copie = etendue(gauche, largeur, largeurEcran) * etendue(haut, hauteur, hauteurEcran);
    }
    return {(ecran + copie) * 4, true, QSize(int(largeurEcran), int(hauteurEcran)), ecran};
}

// libpng reads some chunks whole into memory, zeroed first to the length
// their header declares, before it finds whether the file holds them: text,
// the colour profile, palettes and the like.
bool chunkEnMemoire(const QByteArray &type)
{
    static const QList<QByteArray> types{"tEXt", "zTXt", "iTXt", "iCCP", "sPLT", "pCAL", "sCAL", "eXIf"};
    return types.contains(type);
}

// What the zlib stream in `donnees` from `debut` inflates to, the chunk
// being `longueur` bytes long. A chunk of up to 64 KiB is inflated to tell
// (66 MB at the very most); a longer one counts at deflate's greatest ratio,
// 1032 to 1. `debutClair` receives the first bytes inflated, when known.
qint64 taillePngInflee(const QByteArray &donnees, int debut, qint64 longueur, QByteArray *debutClair = nullptr)
{
    constexpr qint64 inflationMax = 1032;
    if (longueur > 64 * 1024 || debut > donnees.size())
        return produit(longueur, inflationMax);
    // qUncompress wants the inflated size first: the most it can be, so it
    // inflates once.
    const quint32 prevue = quint32(qMax(1, donnees.size() - debut) * inflationMax);
    QByteArray flux;
    for (int decalage = 24; decalage >= 0; decalage -= 8)
        flux.append(char((prevue >> decalage) & 0xff));
    flux.append(donnees.constData() + debut, donnees.size() - debut);
    const QByteArray clair = qUncompress(flux);
    if (debutClair)
        *debutClair = clair.left(4);
    return clair.size();
}

// A PNG, alone or in an icon, whose signature starts at `debut`, walked
// chunk by chunk from their headers: libpng's buffer for the chunks it reads
// whole, as large as the largest of them, and the text, which Qt keeps about
// five times over (libpng's copy, and strings of two bytes a character) and
// which is bounded apart as well. A chunk that runs past the end of the file,
// or a colour profile that claims more than it holds, only costs memory and
// time before libpng gives up on it, and refuses the file.
Supplement png(QIODevice &fichier, qint64 debut, Supplement resultat)
{
    qint64 tampon = 0;
    qint64 texte = 0;
    qint64 profil = 0;
    for (qint64 position = debut + 8;;) {
        const QByteArray entete = lire(fichier, position, 8);
        const qint64 longueur = nombre(entete, 0, 4, true);
        if (longueur < 0 || longueur > std::numeric_limits<qint32>::max() || entete.endsWith("IEND"))
            break;
        const QByteArray type = entete.mid(4);
        if (chunkEnMemoire(type)) {
            if (position + 12 + longueur > fichier.size())
                return {-1, false, QSize(), 0};
            tampon = qMax(tampon, longueur);
            // Keyword (or profile name) and a zero, then what follows it.
            const bool compressible = type == "zTXt" || type == "iTXt" || type == "iCCP";
            const QByteArray donnees = compressible ? lire(fichier, position + 8, int(qMin(longueur, qint64(64 * 1024))))
                                                    : QByteArray();
            const int finNom = donnees.indexOf('\0');
            if (type == "tEXt") {
                texte += longueur;
            } else if (type == "zTXt" && finNom >= 0) {
                texte += taillePngInflee(donnees, finNom + 2, longueur);
            } else if (type == "iTXt" && finNom >= 0 && finNom + 1 < donnees.size()) {
                // Compression flag and method, language and translated keyword, each ended by a zero.
                const int finLangue = donnees.indexOf('\0', finNom + 3);
                const int finTraduction = finLangue < 0 ? -1 : donnees.indexOf('\0', finLangue + 1);
                if (donnees[finNom + 1] == 0)
                    texte += longueur;
                else if (finTraduction >= 0)
                    texte += taillePngInflee(donnees, finTraduction + 1, longueur);
            } else if (type == "iCCP" && finNom >= 0) {
                QByteArray debutProfil;
                const qint64 inflee = taillePngInflee(donnees, finNom + 2, longueur, &debutProfil);
                // The profile gives its own length, which libpng takes at its word.
                const qint64 annoncee = nombre(debutProfil, 0, 4, true);
                if (annoncee > inflee)
                    return {-1, false, QSize(), 0};
                profil = qMax(profil, inflee);
            }
            if (texte > octetsTexteMax)
                return {-1, false, QSize(), 0};
        }
        position += 12 + longueur;
    }
    resultat.octets += tampon + profil + 5 * texte;
    return resultat;
}

// Qt's ICO and CUR reader reads the first entry. Its size() is the
// directory's, at most 256 x 256, and holds for the bitmaps it decodes itself;
// but an entry that is a PNG is read whole into memory, as long as the
// directory says it is, and goes to the PNG reader, which decodes the size
// the PNG's own header gives: 8 bytes a pixel for 16-bit samples, 4 otherwise
// (the most any 8-bit PNG takes).
Supplement ico(QIODevice &fichier)
{
    const QByteArray entree = lire(fichier, 6, 16);
    const qint64 longueur = nombre(entree, 8, 4, false);
    const qint64 position = nombre(entree, 12, 4, false);
    if (entree.size() != 16 || lire(fichier, position, 8) != QByteArray("\x89PNG\r\n\x1a\n", 8))
        return Supplement();
    // An entry longer than the file is damaged, and reading it would first
    // take all the memory it claims.
    if (position + longueur > fichier.size())
        return {-1, true, QSize(), 0};
    // Read whole however it turns out; decoded only with a header.
    const QByteArray entete = lire(fichier, position + 8, 17);
    qint64 octets = longueur;
    if (entete.size() == 17 && entete.startsWith(QByteArray("\0\0\0\x0dIHDR", 8))) {
        const qint64 pixels = produit(nombre(entete, 8, 4, true), nombre(entete, 12, 4, true));
        octets += produit(pixels, uchar(entete[16]) == 16 ? 8 : 4);
    }
    return png(fichier, position, {octets, true, QSize(), 0});
}

// The file at `chemin`, as the reader of `format` will decode it for a label
// capped at `visible`, read apart from the reader. A PNG is walked from chunk
// header to chunk header, thousands of them far apart in a large picture, so
// without a buffer that would be refilled at each; the other formats are
// read byte by byte.
Supplement supplement(const QString &chemin, const QByteArray &format, const QSize &visible)
{
    const bool parChunks = format == "png" || format == "ico" || format == "cur";
    QFile fichier(chemin);
    if (!fichier.open(parChunks ? QIODevice::ReadOnly | QIODevice::Unbuffered : QIODevice::ReadOnly))
        return {-1, false, QSize(), 0};
    if (format == "jpeg")
        return jpeg(fichier, visible);
    if (format == "gif")
        return gif(fichier);
    if (format == "png")
        return png(fichier, 0, Supplement());
    if (format == "ico" || format == "cur")
        return ico(fichier);
    return Supplement();
}

// What decoding takes by what the reader says without decoding: `taille` is
// the size it gave, `partie` what is kept of it.
qint64 octetsSelonLecteur(const QImageReader &lecteur, const QSize &taille, const QRect &partie)
{
    const int bits = bitsParPixel(lecteur);
    qint64 octets = octetsImage(partie.size(), bits);
    // Readers that cannot clip while decoding (PNG) decode the whole picture,
    // then cut it.
    if (partie.size() != taille && !lecteur.supportsOption(QImageIOHandler::ClipRect))
        octets += octetsImage(taille, bits);
    return octets;
}

// Decodes what a label capped at visible can show of the picture at chemin,
// or gives the empty picture when the file cannot or should not be read.
QImage lireImage(const QString &chemin, const QSize &visible)
{
    // Only regular files, symbolic links followed: a FIFO would block the
    // window forever on opening, and a device can be read without end. A
    // cancelled choice (no path) stops here too, before Qt complains of it.
    if (!QFileInfo(chemin).isFile())
        return QImage();
    QFile fichier(chemin);
    if (!fichier.open(QIODevice::ReadOnly))
        return QImage();

    const SansMessages silence;
    QImageReader lecteur(&fichier);
    // Asked before anything else is read: the ICO reader only recognises a
    // file from its start.
    const QByteArray format = lecteur.format();
    // The file is looked at before the reader reads its header, which is
    // already where libpng inflates text.
    const Supplement enPlus = supplement(chemin, format, visible);
    if (enPlus.octets < 0)
        return QImage();
    // A genuine file pays with its bytes for the work of decoding it: every
    // 8 x 8 block of a JPEG carries at least a bit. One whose headers promise
    // far more than it holds (a JPEG cut short, or of thousands of empty
    // scans; a huge GIF screen, which Qt fills pixel by pixel, around a small
    // frame) would only keep the reader busy for seconds on nothing, the
    // window frozen.
    if (enPlus.travail > travailLibre + travailParOctet * fichier.size())
        return QImage();

    QSize taille = enPlus.taille.isValid() ? enPlus.taille : lecteur.size();
    // BMP gives a picture stored top down a negative height.
    if ((format == "bmp" || format == "dib") && taille.height() < 0
        && taille.height() > std::numeric_limits<int>::min())
        taille.setHeight(-taille.height());
    // A picture of unknown size cannot be bounded.
    if (taille.isEmpty())
        return QImage();
    const QRect partie = partieVisible(taille, visible);
    const qint64 octets = enPlus.seul ? enPlus.octets : enPlus.octets + octetsSelonLecteur(lecteur, taille, partie);
    if (octets > octetsDecodesMax)
        return QImage();

    // Qt 6 readers have a lower bound of their own; ours is the one that holds.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    lecteur.setAllocationLimit(int(octetsDecodesMax / (1024 * 1024)));
#endif
    if (partie.size() != taille)
        lecteur.setClipRect(partie);
    return lecteur.read();
}

} // namespace

MaFenetre::MaFenetre()
    : QWidget()
{
    setWindowTitle(QStringLiteral("#Orvalis 3.0#"));

    boutonOuvrir = new QPushButton(QStringLiteral("Open the image"), this);
    boutonChoisir = new QPushButton(QStringLiteral("Choose an image"), this);
    dialogueImage = new QDialog(this);
    layoutHorizontal = new QHBoxLayout;

    labelImage = new QLabel(dialogueImage);
    // Read before the window is shown or laid out, so the label is capped at
    // a fresh top-level widget's size.
    labelImage->setMaximumSize(width(), height());

    // Installed on the dialog at the first choice, even a cancelled one.
    layoutVertical = new QVBoxLayout;

    layoutHorizontal->addWidget(boutonOuvrir);
    layoutHorizontal->addWidget(boutonChoisir);
    setLayout(layoutHorizontal);

    // Crosswise on purpose: "Choose an image" picks the file, "Open the image"
    // only shows the dialog.
    connect(boutonChoisir, SIGNAL(clicked()), this, SLOT(ouverture()));
    connect(boutonOuvrir, SIGNAL(clicked()), dialogueImage, SLOT(exec()));
}

MaFenetre::~MaFenetre()
{
    // Until the first choice the dialog does not own the vertical layout, and
    // nothing else would release it.
    if (!layoutVertical->parent())
        delete layoutVertical;
}

void MaFenetre::ouverture()
{
    const QString chemin = QFileDialog::getOpenFileName(this, QStringLiteral("Choose an image"),
                                                        QString(), QString());
    // A cancelled choice or an unreadable file leaves the dialog empty. The
    // picture is handed over as a temporary, so the pixmap takes the decoded
    // pixels without a second copy.
    labelImage->setPixmap(QPixmap::fromImage(lireImage(chemin, labelImage->maximumSize())));
    layoutVertical->addWidget(labelImage);
    dialogueImage->setLayout(layoutVertical);
}
