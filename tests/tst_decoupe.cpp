// Only the part of a picture the label can show is decoded and kept, and the
// user sees not one pixel of difference from the whole picture decoded.

#include <QTemporaryDir>
#include <QVBoxLayout>

#include "viewertest.h"

class TestDecoupe : public QObject
{
    Q_OBJECT

    QTemporaryDir dossier;

private slots:
    void initTestCase() { QVERIFY(dossier.isValid()); }
    void memesPixelsQueLImageEntiere_data();
    void memesPixelsQueLImageEntiere();
};

void TestDecoupe::memesPixelsQueLImageEntiere_data()
{
    QTest::addColumn<QByteArray>("format");
    QTest::newRow("JPEG") << QByteArray("jpg");
    QTest::newRow("PNG") << QByteArray("png");
}

void TestDecoupe::memesPixelsQueLImageEntiere()
{
    QFETCH(QByteArray, format);
    // Smaller, wider, taller and larger than the label, with odd and even
    // excess on either side.
    const QList<QSize> tailles{{300, 200}, {900, 300}, {300, 900}, {1000, 700},
                               {641, 481}, {642, 482}, {643, 483}, {1001, 701}, {640, 480}};
    for (const QSize &taille : tailles) {
        const QString nom = QStringLiteral("%1x%2").arg(taille.width()).arg(taille.height());
        const QString chemin = dossier.filePath(nom + QLatin1Char('.') + QLatin1String(format));
        QVERIFY(motif(taille.width(), taille.height()).save(chemin, format.constData(), 90));

        Vue v;
        QVERIFY(v.complete());
        v.fenetre.show();
        QVERIFY(choisir(v, chemin));
        // Only what the label can show is kept.
        const QSize visible = taille.boundedTo(v.label->maximumSize());
        QCOMPARE(imageDuLabel(v.label).size(), visible);

        QVERIFY(cliquerPuis<QDialog>(v.ouvrir, [&](QDialog *dialogue) {
            // The reference: the same dialog holding the whole picture decoded.
            QDialog reference;
            auto *label = new QLabel(&reference);
            label->setMaximumSize(v.label->maximumSize());
            label->setPixmap(QPixmap::fromImage(QImage(chemin)));
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
