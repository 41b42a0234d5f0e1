// Choosing pictures through the real file dialog and seeing them in the
// picture dialog, including what must not hang, blow up or print.

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QVBoxLayout>

#include <QTemporaryFile>

#include <cstdio>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>
#include "fichiers.h"
#include "protocole.h"
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


// Sends what the process writes to its standard error stream into a file
// for as long as it lives: libpng writes its errors there itself, past the
// toolkit's message handler.
class ErreursCapturees
{
public:
    ErreursCapturees()
    {
        std::fflush(stderr);
        if (fichier.open() && (ancien = dup(2)) >= 0)
            dup2(fichier.handle(), 2);
    }
    ~ErreursCapturees() { rendre(); }
    bool valide() const { return ancien >= 0; }
    // Puts the stream back, and gives what was written.
    QByteArray rendre()
    {
        if (ancien >= 0) {
            std::fflush(stderr);
            dup2(ancien, 2);
            close(ancien);
            ancien = -1;
        }
        fichier.seek(0);
        return fichier.readAll();
    }

private:
    QTemporaryFile fichier;
    int ancien = -1;
};

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
    void initTestCase()
    {
        QVERIFY(dossier.isValid());
        // The reader that misbehaves on purpose, for the helpers the windows
        // start and for this process.
        qputenv("QT_PLUGIN_PATH", IMAGE_VIEWER_TEST_PLUGINS);
        QCoreApplication::addLibraryPath(QStringLiteral(IMAGE_VIEWER_TEST_PLUGINS));
    }
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
    void lecteurQuiSeConduitMal();
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
    using namespace fichiers;
    const auto chemin = [this](const char *nom) { return dossier.filePath(QLatin1String(nom)); };
    const QByteArray noir(3, '\0');
    const QByteArray rouge16("\xc8\xc8\x1e\x1e\x28\x28\xff\xff", 8); // opaque (200, 30, 40)
    const QByteArray pngRgb = png(20000, 20000, 8, 2, noir);
    QByteArray texteAbime = chunk("tEXt", QByteArray("Comment\0abime", 13));
    texteAbime.chop(4);
    texteAbime.append("\0\0\0\0", 4); // a wrong CRC: libpng warns and drops the chunk
    QByteArray donneesAbimees = png(8, 8, 8, 2, noir);
    donneesAbimees[donneesAbimees.size() - 13] = '\x5a'; // the last byte of the data's CRC

    // Each refused promptly, by the decoding helper's limits, as the empty picture.
    const QList<QPair<QString, QByteArray>> refuses{
        // PNG is decoded whole before any cut: 3.4 GB.
        {chemin("30000x30000.png"), png(30000, 30000, 8, 2, noir)},
        // 16-bit RGBA decodes to 8 bytes a pixel: 2 GiB, though at 4 it would seem to fit.
        {chemin("16383x16383-16bits.png"), png(16383, 16383, 16, 6, rouge16)},
        // Progressive: every coefficient of the frame is held first, 1.7 GiB.
        {chemin("30000x30000-progressif.jpg"), jpegGris(30000, 30000, true)},
        // A few bytes of scan: seconds of decoding the zeros that stand for the rest.
        {chemin("65500x65500-tronque.jpg"), jpegGris(65500, 65500, false, 16)},
        // Two thousand scans over 250,000 blocks each, from 95 KB: seconds of walking blocks.
        {chemin("2000-balayages.jpg"), jpegGris(4000, 4000, true, -1, 2000)},
        // The frame header cut short: the reader cannot tell a size or a format.
        {chemin("entete-abime.jpg"), jpegGris(64, 64, false).left(2 + 69 + 8)},
        // Icons whose entry is a PNG of its own size: 1.6 GB decoded.
        {chemin("png-dans-icone.ico"), icone(pngRgb, 1)},
        {chemin("png-dans-curseur.cur"), icone(pngRgb, 2)},
        // A 1 GB screen, filled pixel by pixel, around a frame of one pixel.
        {chemin("ecran-demesure.gif"), gif(16000, 16000, 1, 1, qRgb(255, 0, 0))},
        // Twenty compressed texts of 7.9 MB each, from 150 KB of file.
        {chemin("textes.png"), png(8, 8, 8, 2, noir, texteCompresse(7900000).repeated(20))},
        // The pixels' CRC is wrong: libpng gives up, and says so on its own.
        {chemin("donnees-abimees.png"), donneesAbimees},
    };
    for (const auto &refus : refuses)
        QVERIFY2(ecrire(refus.first, refus.second), qPrintable(refus.first));
    QVERIFY2(QFileInfo(refuses[0].first).size() < 16 * 1024 * 1024, qPrintable(QString::number(QFileInfo(refuses[0].first).size())));

    // Each shown: its size in the label (cut to what it shows) and the colour at its centre.
    const QImage motifBmp = motif(700, 500);
    const QList<std::tuple<QString, QByteArray, QSize, QRgb>> ouverts{
        {chemin("64x48-16bits.png"), png(64, 48, 16, 6, rouge16), QSize(64, 48), qRgb(200, 30, 40)},
        // Baseline JPEG is cut while decoding: only the visible part counts.
        {chemin("30000x30000.jpg"), jpegGris(30000, 30000, false), QSize(640, 480), qRgb(128, 128, 128)},
        {chemin("600x400-progressif.jpg"), jpegGris(600, 400, true, -1, 10), QSize(600, 400), qRgb(128, 128, 128)},
        // Large, but within the bound; only what the label shows is kept.
        {chemin("9000x6000.png"), png(9000, 6000, 8, 2, noir), QSize(640, 480), qRgb(0, 0, 0)},
        {chemin("700x500.gif"), gif(700, 500, 700, 500, qRgb(20, 90, 200)), QSize(640, 480), qRgb(20, 90, 200)},
        {chemin("de-haut-en-bas.bmp"), bmpDeHautEnBas(motifBmp), QSize(640, 480), motifBmp.pixel(320, 250)},
        // libpng warns of the damaged text, and the picture is fine.
        {chemin("avertit.png"), png(8, 8, 8, 2, QByteArray("\xff\x00\x00", 3), texteAbime), QSize(8, 8), qRgb(255, 0, 0)},
    };
    for (const auto &ouvert : ouverts)
        QVERIFY2(ecrire(std::get<0>(ouvert), std::get<1>(ouvert)), qPrintable(std::get<0>(ouvert)));
    // The warning is real: read plainly, the toolkit passes it on.
    QVERIFY(!QImage(chemin("avertit.png")).isNull());
    QVERIFY2(messagesRecus.size() == 1 && messagesRecus[0].contains(QLatin1String("CRC error")),
             qPrintable(messagesRecus.join(QLatin1Char('\n'))));
    messagesRecus.clear();

    Vue v;
    QVERIFY(v.complete());
    v.fenetre.show();
    const QString cheminImage = enregistrer("petite.png", motif(32, 32));
    ErreursCapturees erreurs;
    QVERIFY(erreurs.valide());
    for (const auto &refus : refuses) {
        QVERIFY(choisir(v, cheminImage));
        QElapsedTimer chrono;
        chrono.start();
        QVERIFY(choisir(v, refus.first));
        QVERIFY2(imageDuLabel(v.label).isNull(), qPrintable(refus.first));
        QVERIFY2(chrono.elapsed() < 1000 * lenteur,
                 qPrintable(QStringLiteral("%1: %2 ms").arg(refus.first).arg(chrono.elapsed())));
    }
    for (const auto &ouvert : ouverts) {
        QVERIFY(choisir(v, std::get<0>(ouvert)));
        const QImage vue = imageDuLabel(v.label).toImage();
        QVERIFY2(vue.size() == std::get<2>(ouvert), qPrintable(std::get<0>(ouvert)));
        QVERIFY2(vue.pixel(vue.width() / 2, vue.height() / 2) == std::get<3>(ouvert), qPrintable(std::get<0>(ouvert)));
    }

    QCOMPARE(erreurs.rendre(), QByteArray());
}

void TestOuverture::lecteurQuiSeConduitMal()
{
    const auto hostile = [this](const char *nom, const QByteArray &lignes) {
        const QString chemin = dossier.filePath(QLatin1String(nom));
        return fichiers::ecrire(chemin, "image-viewer-hostile " + lignes) ? chemin : QString();
    };
    const QString simple = hostile("simple", "plain\n");
    QImage dessinee(5, 3, QImage::Format_RGB32);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            dessinee.setPixel(x, y, qRgb(40 * x, 80 * y, 200));

    Vue v;
    QVERIFY(v.complete());
    v.fenetre.show();
    // The helper really uses the reader.
    QVERIFY(choisir(v, simple));
    QCOMPARE(imageDuLabel(v.label).toImage().convertToFormat(QImage::Format_RGB32), dessinee);

    // A reader that crashes, spins, sleeps: the empty picture, within the
    // time the viewer allows a file of that size, and the next one opens.
    for (const char *mode : {"crash", "spin", "sleep"}) {
        const QString chemin = hostile(mode, mode);
        const qint64 attente = protocole::tempsDAttenteMs(QFileInfo(chemin).size());
        QVERIFY(attente < 2000);
        QElapsedTimer chrono;
        chrono.start();
        QVERIFY(choisir(v, chemin));
        QVERIFY2(imageDuLabel(v.label).isNull(), mode);
        QVERIFY2(chrono.elapsed() < attente + 500 * lenteur,
                 qPrintable(QStringLiteral("%1: %2 ms").arg(mode).arg(chrono.elapsed())));
        QVERIFY(choisir(v, simple));
        QVERIFY2(!imageDuLabel(v.label).isNull(), mode);
    }

    // One that takes memory until refused gets the decoding bound and the
    // working room, no more. (A sanitized helper spends a second on that:
    // a file of 1 MiB allows it.)
    QVERIFY(choisir(v, hostile("memoire", "allocate\n" + QByteArray(1 << 20, ' '))));
    const qint64 obtenus = qint64(imageDuLabel(v.label).width()) << 24;
    const qint64 plafond = protocole::octetsPourDecoder(sysconf(_SC_NPROCESSORS_ONLN));
    QVERIFY2(obtenus > protocole::octetsDecodesMax && obtenus <= plafond, qPrintable(QString::number(obtenus)));

    // One that tries to get out: read a file it was not given, write one,
    // reach a socket this test listens on, run a program, signal or read
    // another process. Each attempt is a pixel: red when refused.
    const QString secret = dossier.filePath(QStringLiteral("secret"));
    const QString ecrit = dossier.filePath(QStringLiteral("ecrit"));
    const QString trace = dossier.filePath(QStringLiteral("trace"));
    QVERIFY(fichiers::ecrire(secret, "not for the reader"));
    const int ecoute = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in adresse{};
    adresse.sin_family = AF_INET;
    adresse.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t longueur = sizeof adresse;
    QVERIFY(ecoute >= 0 && bind(ecoute, reinterpret_cast<sockaddr *>(&adresse), sizeof adresse) == 0
            && listen(ecoute, 4) == 0 && getsockname(ecoute, reinterpret_cast<sockaddr *>(&adresse), &longueur) == 0);
    const QString evasion = hostile("evasion", "escape\n"
        + QStringLiteral("read %1\nwrite %2\nconnect %3\nrun /usr/bin/touch %4\nsignal\nmemory\n")
              .arg(secret, ecrit).arg(ntohs(adresse.sin_port)).arg(trace).toLocal8Bit());
    const auto connexions = [ecoute] {
        int n = 0;
        for (int s; (s = accept(ecoute, nullptr, nullptr)) >= 0; ++n)
            close(s);
        return n;
    };
    const auto pixels = [](const QImage &image) {
        QVector<QRgb> p;
        for (int x = 0; x < image.width(); ++x)
            p << (image.pixel(x, 0) & 0xffffff);
        return p;
    };

    // Read here, with nothing to hold it, every attempt gets through.
    QCOMPARE(pixels(QImage(evasion, "hostile")), QVector<QRgb>(6, 0x00ff00));
    QVERIFY(QFile::exists(ecrit) && QFile::exists(trace) && connexions() == 1);
    QVERIFY(QFile::remove(ecrit) && QFile::remove(trace));

    // Through the viewer, none does. Without Landlock (before Linux 5.13)
    // reading is left to the system's own permissions.
    const bool landlock = syscall(SYS_landlock_create_ruleset, nullptr, 0, 1) >= 1;
    QVERIFY(choisir(v, evasion));
    QVector<QRgb> refus(6, 0xff0000);
    if (!landlock)
        refus[0] = 0x00ff00;
    QCOMPARE(pixels(imageDuLabel(v.label).toImage()), refus);
    QVERIFY(!QFile::exists(ecrit) && !QFile::exists(trace));
    QCOMPARE(connexions(), 0);
    close(ecoute);
}

QTEST_MAIN(TestOuverture)
#include "tst_ouverture.moc"
