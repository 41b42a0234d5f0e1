// Only the part of a picture the label can show is decoded and kept, and the
// user sees not one pixel of difference from the whole picture as Qt's own
// reading delivers it, in every format Qt's readers know.

#include <QBuffer>
#include <QImageIOHandler>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QVBoxLayout>

#include "fichiers.h"
#include "viewertest.h"

// Files to choose, each a name and its bytes.
using Fichiers = QVector<QPair<QString, QByteArray>>;
Q_DECLARE_METATYPE(Fichiers)

class TestDecoupe : public QObject
{
    Q_OBJECT

    QTemporaryDir dossier;

private slots:
    void initTestCase() { QVERIFY(dossier.isValid()); }
    void memesPixelsQueLImageEntiere_data();
    void memesPixelsQueLImageEntiere();
};

namespace {

QByteArray parQt(const QImage &image, const char *format)
{
    QBuffer tampon;
    tampon.open(QIODevice::WriteOnly);
    QImageWriter ecrivain(&tampon, format);
    ecrivain.setQuality(90);
    return ecrivain.write(image) ? tampon.data() : QByteArray();
}

} // namespace

void TestDecoupe::memesPixelsQueLImageEntiere_data()
{
    QTest::addColumn<QByteArray>("lecteur");
    QTest::addColumn<Fichiers>("fichiers");

    // Smaller, wider, taller and larger than the label, with odd and even
    // excess on either side.
    const QList<QSize> tailles{{300, 200}, {900, 300}, {300, 900}, {1000, 700},
                               {641, 481}, {642, 482}, {643, 483}, {1001, 701}, {640, 480}};
    // Readers that tell no size are all cut the same way, after decoding:
    // a few sizes do for them.
    const QList<QSize> quelquesTailles{{300, 200}, {643, 483}, {1001, 701}};
    const auto chaqueTaille = [&](const char *suffixe, QByteArray (*ecrire)(const QImage &),
                                  const QList<QSize> &lesTailles) {
        Fichiers fichiers;
        for (const QSize &taille : lesTailles)
            fichiers.append({QStringLiteral("%1x%2.%3").arg(taille.width()).arg(taille.height()).arg(QLatin1String(suffixe)),
                             ecrire(motif(taille.width(), taille.height()))});
        return fichiers;
    };
    QTest::newRow("JPEG") << QByteArray("jpeg")
                          << chaqueTaille("jpg", [](const QImage &i) { return parQt(i, "jpeg"); }, tailles);
    QTest::newRow("PNG") << QByteArray("png")
                         << chaqueTaille("png", [](const QImage &i) { return parQt(i, "png"); }, tailles);
    QTest::newRow("WebP") << QByteArray("webp")
                          << chaqueTaille("webp", [](const QImage &i) { return parQt(i, "webp"); }, tailles);
    // A line of text, alone on white: it shows only if the helper may read
    // the fonts. Smaller than the label, and larger with the text where the
    // label shows it.
    const auto texte = [](int largeur, int hauteur) {
        return QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' width='%1' height='%2'>"
                              "<rect width='%1' height='%2' fill='white'/>"
                              "<text x='12' y='%3' font-family='sans-serif' font-size='36'>Choose an image</text>"
                              "</svg>")
            .arg(largeur).arg(hauteur).arg(hauteur / 2 + 12).toUtf8();
    };
    QTest::newRow("SVG") << QByteArray("svg")
                         << Fichiers{{QStringLiteral("300x200.svg"), texte(300, 200)},
                                     {QStringLiteral("1001x701.svg"), texte(1001, 701)}};
    QTest::newRow("TGA") << QByteArray("tga") << chaqueTaille("tga", fichiers::tga, quelquesTailles);
    QTest::newRow("PCX") << QByteArray("pcx") << chaqueTaille("pcx", fichiers::pcx, quelquesTailles);
    QTest::newRow("SGI") << QByteArray("sgi") << chaqueTaille("sgi", fichiers::sgi, quelquesTailles);
    QTest::newRow("ICNS") << QByteArray("icns")
                          << Fichiers{{QStringLiteral("256.icns"), fichiers::icns("ic08", parQt(motif(256, 256), "png"))},
                                      {QStringLiteral("512.icns"), fichiers::icns("ic09", parQt(motif(512, 512), "png"))}};
    // TIFF pictures are turned by their orientation tag as they are read:
    // the visible part is that of the turned picture. Stored 500 x 700, a
    // quarter turn (orientations 5 to 8) makes it wider than the label.
    Fichiers tiff{{QStringLiteral("88x590-orientation-6.tif"), fichiers::tiff(motif(88, 590), 6)}};
    for (int orientation = 1; orientation <= 8; ++orientation)
        tiff.append({QStringLiteral("500x700-orientation-%1.tif").arg(orientation),
                     fichiers::tiff(motif(500, 700), orientation)});
    QTest::newRow("TIFF") << QByteArray("tiff") << tiff;
    // JPEG photos are turned by their Exif orientation: stored 700 x 500, a
    // quarter turn makes them taller than the label; a 4000 x 3000 photo
    // taken upright (orientation 6) shows its left 640 columns and middle
    // 480 rows, turned.
    Fichiers exif{{QStringLiteral("4000x3000-orientation-6.jpg"), fichiers::jpegOriente(parQt(motif(4000, 3000), "jpeg"), 6)}};
    for (int orientation = 1; orientation <= 8; ++orientation)
        exif.append({QStringLiteral("700x500-orientation-%1.jpg").arg(orientation),
                     fichiers::jpegOriente(parQt(motif(700, 500), "jpeg"), orientation)});
    QTest::newRow("JPEG Exif") << QByteArray("jpeg") << exif;
}

void TestDecoupe::memesPixelsQueLImageEntiere()
{
    QFETCH(QByteArray, lecteur);
    QFETCH(Fichiers, fichiers);
    if (!QImageReader::supportedImageFormats().contains(lecteur))
        QSKIP(qPrintable(QStringLiteral("no %1 reader for Qt %2 here (Debian packages qt%2-image-formats-plugins, "
                                        "libqt%2svg%2 and, for Qt 5, kimageformat-plugins)")
                             .arg(QLatin1String(lecteur)).arg(QT_VERSION_MAJOR)));
    for (const auto &fichier : fichiers) {
        const QString &nom = fichier.first;
        const QString chemin = dossier.filePath(nom);
        QVERIFY2(fichiers::ecrire(chemin, fichier.second), qPrintable(nom));
        // The whole picture as Qt reads it, turned as its metadata asks.
        QImageReader qt(chemin);
        qt.setAutoTransform(true);
        const QImage entiere = qt.read();
        if (nom.contains(QLatin1String("-orientation-")))
            QCOMPARE(qt.transformation() == QImageIOHandler::TransformationNone, nom.endsWith(QLatin1String("-1.jpg"))
                                                                                      || nom.endsWith(QLatin1String("-1.tif")));
        QVERIFY2(!entiere.isNull(), qPrintable(nom));
        // Something to see in the part shown: the SVGs' text is there.
        const QRect montre = QRect(QPoint(0, (entiere.height() - 480) / 2), QSize(640, 480)).intersected(entiere.rect());
        const QImage visible = entiere.copy(montre).convertToFormat(QImage::Format_RGB32);
        QImage uni(visible.size(), QImage::Format_RGB32);
        uni.fill(visible.pixel(0, 0));
        QVERIFY2(visible != uni, qPrintable(nom));

        Vue v;
        QVERIFY(v.complete());
        v.fenetre.show();
        QVERIFY(choisir(v, chemin));
        // Only what the label can show is kept.
        QCOMPARE(imageDuLabel(v.label).size(), entiere.size().boundedTo(v.label->maximumSize()));

        QVERIFY(cliquerPuis<QDialog>(v.ouvrir, [&](QDialog *dialogue) {
            // The reference: the same dialog holding the whole picture.
            QDialog reference;
            auto *label = new QLabel(&reference);
            label->setMaximumSize(v.label->maximumSize());
            label->setPixmap(QPixmap::fromImage(entiere));
            auto *colonne = new QVBoxLayout;
            colonne->addWidget(label);
            reference.setLayout(colonne);
            reference.show();
            QVERIFY(QTest::qWaitForWindowExposed(&reference));

            QCOMPARE(dialogue->sizeHint(), reference.sizeHint());
            QCOMPARE(dialogue->minimumSizeHint(), reference.minimumSizeHint());
            QCOMPARE(dialogue->size(), reference.size());
            QVERIFY2(capture(dialogue) == capture(&reference), qPrintable(nom));
            for (const QSize &demandee : {QSize(2000, 1500), QSize(50, 50), QSize(700, 901), QSize(1333, 577)}) {
                redimensionner(dialogue, demandee);
                redimensionner(&reference, demandee);
                QVERIFY2(capture(dialogue) == capture(&reference),
                         qPrintable(QStringLiteral("%1 in a %2x%3 dialog").arg(nom).arg(demandee.width()).arg(demandee.height())));
            }
        }));
    }
}

QTEST_MAIN(TestDecoupe)
#include "tst_decoupe.moc"
