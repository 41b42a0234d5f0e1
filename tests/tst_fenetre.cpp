// The main window as built: its parts, its meta-object and its wiring.

#include <QBoxLayout>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>

#include "viewertest.h"

class TestFenetre : public QObject
{
    Q_OBJECT

private slots:
    void construite();
    void metaObjet();
    void ouvrirMontreLeDialogueModal();
};

void TestFenetre::construite()
{
    // What a new top-level widget measures before it is ever shown: the
    // label's limit comes from it. Qt 5 and Qt 6 (checked up to 6.4) agree.
    const QSize taillePremiere = QWidget().size();
    QCOMPARE(taillePremiere, QSize(640, 480));

    Vue v;
    QVERIFY(v.complete());
    QCOMPARE(v.fenetre.windowTitle(), QStringLiteral("#Orvalis 3.0#"));
    QVERIFY(v.fenetre.isWindow());
    QVERIFY(!v.fenetre.parent());
    QCOMPARE(v.fenetre.findChildren<QPushButton *>().size(), 2);

    // "Open the image" on the left, "Choose an image" on the right.
    auto *rangee = qobject_cast<QHBoxLayout *>(v.fenetre.layout());
    QVERIFY(rangee);
    QCOMPARE(rangee->count(), 2);
    QCOMPARE(rangee->itemAt(0)->widget(), v.ouvrir);
    QCOMPARE(rangee->itemAt(1)->widget(), v.choisir);

    // The picture dialog waits, hidden, with the bare label and no layout.
    QCOMPARE(v.dialogue->parentWidget(), &v.fenetre);
    QVERIFY(v.dialogue->isHidden());
    QCOMPARE(v.dialogue->children(), QObjectList{v.label});
    QVERIFY(!v.dialogue->layout());
    QVERIFY(v.label->text().isEmpty());
    QVERIFY(imageDuLabel(v.label).isNull());
    QCOMPARE(v.label->maximumSize(), taillePremiere);

    // Nothing sizes the window: it opens at what its two buttons ask for.
    v.fenetre.show();
    QVERIFY(QTest::qWaitForWindowExposed(&v.fenetre));
    QCOMPARE(v.fenetre.size(), v.fenetre.sizeHint());
    QVERIFY(v.fenetre.size() != taillePremiere);
}

void TestFenetre::metaObjet()
{
    const QMetaObject &mo = MaFenetre::staticMetaObject;
    QCOMPARE(mo.className(), "MaFenetre");
    QCOMPARE(mo.superClass(), &QWidget::staticMetaObject);
    QCOMPARE(mo.methodCount() - mo.methodOffset(), 1);
    const QMetaMethod slot = mo.method(mo.methodOffset());
    QCOMPARE(slot.methodSignature(), QByteArray("ouverture()"));
    QCOMPARE(slot.methodType(), QMetaMethod::Slot);
    QCOMPARE(slot.access(), QMetaMethod::Public);
    QCOMPARE(slot.returnType(), int(QMetaType::Void));
    QCOMPARE(mo.propertyCount(), mo.propertyOffset());
    QCOMPARE(mo.enumeratorCount(), mo.enumeratorOffset());
    QCOMPARE(mo.classInfoCount(), mo.classInfoOffset());
    QCOMPARE(mo.constructorCount(), 0);

    MaFenetre fenetre;
    QCOMPARE(fenetre.qt_metacast("MaFenetre"), static_cast<void *>(&fenetre));
    QCOMPARE(fenetre.qt_metacast(nullptr), nullptr);
    QCOMPARE(fenetre.qt_metacast("QWidget"), static_cast<void *>(static_cast<QWidget *>(&fenetre)));
    QCOMPARE(fenetre.qt_metacast("QDialog"), nullptr);
}

// Clicks through the window system, where a modal dialog blocks input.
static void cliquerEnVrai(MaFenetre &fenetre, QPushButton *bouton)
{
    QTest::mouseClick(fenetre.windowHandle(), Qt::LeftButton, Qt::NoModifier,
                      bouton->mapTo(&fenetre, bouton->rect().center()));
}

void TestFenetre::ouvrirMontreLeDialogueModal()
{
    Vue v;
    QVERIFY(v.complete());
    v.fenetre.show();
    QVERIFY(QTest::qWaitForWindowExposed(&v.fenetre));
    QSignalSpy choix(v.choisir, SIGNAL(clicked()));

    // Any number of times: each click runs the dialog until it is closed.
    for (int fois = 0; fois < 3; ++fois) {
        bool fini = false;
        const bool vu = pendantModal<QDialog>(
            [&] { cliquerEnVrai(v.fenetre, v.ouvrir); },
            [&](QDialog *modal) {
                QCOMPARE(modal, v.dialogue);
                QCOMPARE(modal->windowModality(), Qt::ApplicationModal);
                QVERIFY(!v.dialogue->layout());
                // The main window takes no input meanwhile.
                cliquerEnVrai(v.fenetre, v.choisir);
                QCOMPARE(choix.count(), 0);
                QCOMPARE(QApplication::activeModalWidget(), v.dialogue);
                modal->reject();
                fini = true;
            });
        QVERIFY(vu);
        QVERIFY(fini);
        QVERIFY(v.dialogue->isHidden());
        QVERIFY(v.fenetre.isVisible());
    }
}

QTEST_MAIN(TestFenetre)
#include "tst_fenetre.moc"
