// Choosing pictures through the real file dialog and seeing them in the
// picture dialog, including what must not hang, blow up or print.

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QVBoxLayout>

#include <sys/stat.h>
#include <sys/types.h>
#include <zlib.h>

#include "viewertest.h"

namespace {

// What the toolkit printed during the current test function.
QStringList messagesRecus;

void retenirMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    // The real-display test holds the real program to silence.
    if (!estNoteOffscreen(message))
        messagesRecus << message;
}


// Appends n big-endian, as both PNG and JPEG headers want it.
void ajouterEntier(QByteArray &octets, quint32 n, int taille)
{
    for (int decalage = 8 * (taille - 1); decalage >= 0; decalage -= 8)
        octets.append(char((n >> decalage) & 0xff));
}

void ajouterChunk(QByteArray &png, const char *type, const QByteArray &donnees)
{
    ajouterEntier(png, quint32(donnees.size()), 4);
    const QByteArray corps = QByteArray(type, 4) + donnees;
    png.append(corps);
    ajouterEntier(png, quint32(crc32(0, reinterpret_cast<const Bytef *>(corps.constData()), uInt(corps.size()))), 4);
}

// Writes a well-formed PNG of one colour, row by row through zlib, so that a
// picture far larger than memory costs only its compressed bytes. `pixel`
// holds one pixel's samples as the bit depth and colour type lay them out.
bool ecrirePng(const QString &chemin, quint32 largeur, quint32 hauteur,
               char profondeur, char typeCouleur, const QByteArray &pixel)
{
    QByteArray entete;
    ajouterEntier(entete, largeur, 4);
    ajouterEntier(entete, hauteur, 4);
    entete.append(profondeur);
    entete.append(typeCouleur);
    entete.append("\x00\x00\x00", 3); // deflate, adaptive filters, no interlace

    z_stream flux{};
    if (deflateInit(&flux, 1) != Z_OK)
        return false;
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

    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    ajouterChunk(png, "IHDR", entete);
    ajouterChunk(png, "IDAT", compresse);
    ajouterChunk(png, "IEND", QByteArray());
    QFile fichier(chemin);
    return fichier.open(QIODevice::WriteOnly) && fichier.write(png) == png.size();
}

// Writes a baseline greyscale JPEG of uniform mid-grey. Each 8 x 8 block is a
// zero DC difference and an end of block, both the one-bit code 0 of
// one-symbol Huffman tables, so the scan is only zero bytes: a picture of
// any size costs a quarter byte a block, written at once.
bool ecrireJpegGris(const QString &chemin, quint16 largeur, quint16 hauteur)
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
    segment('\xc0', trame);
    QByteArray huffman(1 + 16 + 1, '\0');
    huffman[1] = 1; // a single code of length 1, for symbol 0
    segment('\xc4', huffman); // DC table 0
    huffman[0] = '\x10';
    segment('\xc4', huffman); // AC table 0
    segment('\xda', QByteArray("\x01\x01\x00\x00\x3f\x00", 6));
    const qint64 blocs = qint64((largeur + 7) / 8) * ((hauteur + 7) / 8);
    jpeg.append(QByteArray(int((2 * blocs + 7) / 8), '\0'));
    jpeg.append("\xff\xd9", 2);

    QFile fichier(chemin);
    return fichier.open(QIODevice::WriteOnly) && fichier.write(jpeg) == jpeg.size();
}

// Checks, from inside the shown picture dialog, that it holds `attendue`
// exactly as the label draws it: left edge kept, centred vertically, cut to
// the label, background around it.
void verifierAffichage(Vue &v, const QImage &attendue)
{
    QVERIFY(v.dialogue->isVisible());
    const QSize tailleLabel = v.label->size();
    QVERIFY(tailleLabel.width() <= v.label->maximumWidth());
    QVERIFY(tailleLabel.height() <= v.label->maximumHeight());

    const QImage vue = capture(v.dialogue, v.label->geometry());
    QCOMPARE(vue.size(), tailleLabel);
    const QRgb fond = v.dialogue->palette().color(QPalette::Window).rgb();
    const int haut = tailleLabel.height() / 2 - attendue.height() / 2;
    for (int y = 0; y < vue.height(); ++y) {
        for (int x = 0; x < vue.width(); ++x) {
            const QPoint source(x, y - haut);
            const QRgb voulu = attendue.rect().contains(source) ? attendue.pixel(source) : fond;
            if (vue.pixel(x, y) != voulu)
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2 of a %3x%4 label shows %5, not %6")
                                         .arg(x).arg(y).arg(tailleLabel.width()).arg(tailleLabel.height())
                                         .arg(vue.pixel(x, y), 0, 16).arg(voulu, 0, 16)));
        }
    }
}

// Clicks "Open the image" and checks the dialog it shows.
void verifierDialogue(Vue &v, const QImage &attendue)
{
    QVERIFY(cliquerPuis<QDialog>(v.ouvrir, [&](QDialog *d) {
        QCOMPARE(d, v.dialogue);
        verifierAffichage(v, attendue);
    }));
}

// The dialog holds the label, alone, in its vertical layout.
void verifierMiseEnPage(Vue &v)
{
    auto *colonne = qobject_cast<QVBoxLayout *>(v.dialogue->layout());
    QVERIFY(colonne);
    QCOMPARE(colonne->count(), 1);
    QCOMPARE(colonne->itemAt(0)->widget(), v.label);
    QCOMPARE(v.dialogue->findChildren<QLabel *>().size(), 1);
}

} // namespace

class TestOuverture : public QObject
{
    Q_OBJECT

    QTemporaryDir dossier;
    QtMessageHandler gestionnairePrecedent = nullptr;

    QString enregistrer(const char *nom, const QImage &image)
    {
        const QString chemin = dossier.filePath(QLatin1String(nom));
        if (!image.save(chemin))
            return QString();
        return chemin;
    }

private slots:
    void initTestCase() { QVERIFY(dossier.isValid()); }
    void init()
    {
        messagesRecus.clear();
        gestionnairePrecedent = qInstallMessageHandler(retenirMessage);
    }
    void cleanup()
    {
        qInstallMessageHandler(gestionnairePrecedent);
        // Whatever the user picks, the viewer and the toolkit under it stay quiet.
        QVERIFY2(messagesRecus.isEmpty(), qPrintable(messagesRecus.join(QLatin1Char('\n'))));
    }

    void choixSuccessifsEtAnnulation();
    void fichiersQuiNeSontPasDesImages();
    void grandesImagesCoupees();
    void fichiersSpeciaux();
    void tailleDecodeeBornee();
};

void TestOuverture::choixSuccessifsEtAnnulation()
{
    const QImage premiere = motif(120, 90);
    const QImage seconde = motif(300, 45).mirrored(true, false);
    const QString cheminPremiere = enregistrer("premiere.png", premiere);
    const QString cheminSeconde = enregistrer("seconde.bmp", seconde);
    QVERIFY(!cheminPremiere.isEmpty() && !cheminSeconde.isEmpty());

    Vue v;
    QVERIFY(v.complete());
    v.fenetre.show();

    // Cancelling before any choice installs the layout around the empty label.
    QVERIFY(choisir(v, QString()));
    verifierMiseEnPage(v);
    QVERIFY(imageDuLabel(v.label).isNull());
    verifierDialogue(v, QImage());

    QVERIFY(choisir(v, cheminPremiere));
    verifierMiseEnPage(v);
    verifierDialogue(v, premiere);
    verifierDialogue(v, premiere); // and again, unchanged

    QVERIFY(choisir(v, cheminSeconde));
    verifierMiseEnPage(v);
    verifierDialogue(v, seconde);

    // Cancelling later empties the dialog.
    QVERIFY(choisir(v, QString()));
    QVERIFY(imageDuLabel(v.label).isNull());
    verifierMiseEnPage(v);
    verifierDialogue(v, QImage());
}

void TestOuverture::fichiersQuiNeSontPasDesImages()
{
    const QImage image = motif(64, 48);
    const QString cheminImage = enregistrer("image.png", image);
    const QString texte = dossier.filePath(QStringLiteral("notes.png"));
    const QString vide = dossier.filePath(QStringLiteral("vide"));
    {
        QFile f(texte);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("not a picture, despite its name\n") > 0);
        QFile g(vide);
        QVERIFY(g.open(QIODevice::WriteOnly));
    }

    Vue v;
    QVERIFY(v.complete());
    v.fenetre.show();
    for (const QString &illisible : {texte, vide}) {
        QVERIFY(choisir(v, cheminImage));
        QVERIFY(!imageDuLabel(v.label).isNull());
        QVERIFY(choisir(v, illisible));
        QVERIFY2(imageDuLabel(v.label).isNull(), qPrintable(illisible));
        verifierMiseEnPage(v);
        verifierDialogue(v, QImage());
    }
}

void TestOuverture::grandesImagesCoupees()
{
    Vue v;
    QVERIFY(v.complete());
    v.fenetre.show();
    const QSize maximum = v.label->maximumSize();

    // A concrete case first: 700 x 483 shows columns 0-639 and rows 1-480.
    const QImage exemple = motif(700, 483);
    QVERIFY(choisir(v, enregistrer("exemple.png", exemple)));
    QVERIFY(cliquerPuis<QDialog>(v.ouvrir, [&](QDialog *) {
        QCOMPARE(v.label->size(), maximum);
        const QImage vue = capture(v.dialogue, v.label->geometry());
        QCOMPARE(vue, exemple.copy(0, 1, 640, 480));
    }));

    // Wider, taller, both, odd and even excess; whatever size the dialog takes.
    const QList<QSize> tailles{{1000, 700}, {641, 481}, {660, 300}, {300, 701}, {90, 60}, {642, 482}};
    for (const QSize &taille : tailles) {
        const QImage image = motif(taille.width(), taille.height());
        QVERIFY(choisir(v, enregistrer("grande.png", image)));
        QVERIFY(cliquerPuis<QDialog>(v.ouvrir, [&](QDialog *d) {
            verifierAffichage(v, image);
            for (const QSize &demandee : {QSize(2000, 1500), QSize(50, 50), QSize(700, 900)}) {
                redimensionner(d, demandee);
                QVERIFY(v.label->width() <= maximum.width());
                QVERIFY(v.label->height() <= maximum.height());
                verifierAffichage(v, image);
            }
        }));
    }
}

void TestOuverture::fichiersSpeciaux()
{
    const QImage image = motif(80, 60);
    const QString cheminImage = enregistrer("vraie.png", image);
    const QString fifo = dossier.filePath(QStringLiteral("tube"));
    const QString lienImage = dossier.filePath(QStringLiteral("lien-image"));
    const QString lienFifo = dossier.filePath(QStringLiteral("lien-tube"));
    QVERIFY(mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    QVERIFY(QFile::link(cheminImage, lienImage));
    QVERIFY(QFile::link(fifo, lienFifo));

    Vue v;
    QVERIFY(v.complete());
    v.fenetre.show();

    // A link to a picture is followed like any regular file.
    QVERIFY(choisir(v, lienImage));
    verifierDialogue(v, image);

    // Nothing that is not a regular file is read: no waiting on a FIFO's
    // writer, no endless read of a device. Each gives the empty picture.
    for (const QString &special : {fifo, QStringLiteral("/dev/zero"), lienFifo}) {
        QVERIFY(choisir(v, cheminImage));
        QVERIFY(!imageDuLabel(v.label).isNull());
        QElapsedTimer chrono;
        chrono.start();
        QVERIFY(choisir(v, special));
        QVERIFY2(imageDuLabel(v.label).isNull(), qPrintable(special));
        QVERIFY2(chrono.elapsed() < 10000, qPrintable(special));
    }
}

void TestOuverture::tailleDecodeeBornee()
{
    const QString pngDemesure = dossier.filePath(QStringLiteral("30000x30000.png"));
    const QString jpegDemesure = dossier.filePath(QStringLiteral("30000x30000.jpg"));
    const QString photo = dossier.filePath(QStringLiteral("9000x6000.png"));
    // 16-bit RGBA decodes to 8 bytes a pixel: 16383 x 16383 of it would take
    // 2 GiB, though at 4 bytes a pixel it would seem to fit.
    const QString png16Demesure = dossier.filePath(QStringLiteral("16383x16383-16bits.png"));
    const QString png16 = dossier.filePath(QStringLiteral("64x48-16bits.png"));
    const QByteArray noir(3, '\0');
    const QByteArray rouge16("\xc8\xc8\x1e\x1e\x28\x28\xff\xff", 8); // opaque (200, 30, 40)
    QVERIFY(ecrirePng(pngDemesure, 30000, 30000, 8, 2, noir));
    QVERIFY2(QFileInfo(pngDemesure).size() < 16 * 1024 * 1024, qPrintable(QString::number(QFileInfo(pngDemesure).size())));
    QVERIFY(ecrireJpegGris(jpegDemesure, 30000, 30000));
    QVERIFY(ecrirePng(photo, 9000, 6000, 8, 2, noir));
    QVERIFY(ecrirePng(png16Demesure, 16383, 16383, 16, 6, rouge16));
    QVERIFY(ecrirePng(png16, 64, 48, 16, 6, rouge16));
    const QString cheminImage = enregistrer("petite.png", motif(32, 32));

    Vue v;
    QVERIFY(v.complete());
    v.fenetre.show();
    const QSize visible = v.label->maximumSize();

    // PNG is decoded whole before any cut: refused from its header alone,
    // the empty picture, promptly.
    for (const QString &demesure : {pngDemesure, png16Demesure}) {
        QVERIFY(choisir(v, cheminImage));
        QElapsedTimer chrono;
        chrono.start();
        QVERIFY(choisir(v, demesure));
        QVERIFY2(imageDuLabel(v.label).isNull(), qPrintable(demesure));
        QVERIFY2(chrono.elapsed() < 10000, qPrintable(demesure));
    }

    // A small 16-bit picture opens, in its own colour.
    QVERIFY(choisir(v, png16));
    const QImage rouge = imageDuLabel(v.label).toImage();
    QCOMPARE(rouge.size(), QSize(64, 48));
    QCOMPARE(rouge.pixel(32, 24), qRgb(200, 30, 40));

    // JPEG is cut while it is decoded, so only the visible part counts.
    QVERIFY(choisir(v, jpegDemesure));
    const QImage gris = imageDuLabel(v.label).toImage();
    QCOMPARE(gris.size(), visible);
    QCOMPARE(gris.pixel(visible.width() / 2, visible.height() / 2), qRgb(128, 128, 128));

    // A large photo, well within the bound, still opens; only what the
    // label shows of it is kept.
    QVERIFY(choisir(v, photo));
    const QImage noire = imageDuLabel(v.label).toImage();
    QCOMPARE(noire.size(), visible);
    QCOMPARE(noire.pixel(0, 0), qRgb(0, 0, 0));
}

QTEST_MAIN(TestOuverture)
#include "tst_ouverture.moc"
