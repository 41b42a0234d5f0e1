// The viewer's decoding helper: it decodes one picture, limited and
// sandboxed, and sends back only the pixels the viewer can show. The viewer
// starts it ahead of the choice it will serve; it loads Qt and every picture
// reader first, then waits for the file.

#include "bac_a_sable.h"
#include "lecture.h"
#include "protocole.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QLibraryInfo>
#include <QStandardPaths>
#include <QStringList>

#include <algorithm>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

void taire(QtMsgType, const QMessageLogContext &, const QString &) {}

// What the readers may still read once the sandbox is shut: their plugins
// and Qt's libraries (those already loaded may load more), and the fonts a
// picture's text is drawn with. The system's own folders are the sandbox's.
QStringList dossiersLisibles()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QStringList dossiers{QLibraryInfo::path(QLibraryInfo::LibrariesPath)};
#else
    QStringList dossiers{QLibraryInfo::location(QLibraryInfo::LibrariesPath)};
#endif
    for (const QString &chemin : QCoreApplication::libraryPaths())
        dossiers << chemin + QStringLiteral("/imageformats");
    dossiers << QStandardPaths::standardLocations(QStandardPaths::FontsLocation);
    for (const QString &dossier : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
        dossiers << dossier + QStringLiteral("/fonts");
    dossiers << QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/fontconfig")
             << QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/fontconfig");
    return dossiers;
}

// The answer: the header, then the rows.
bool repondre(const QImage &image)
{
    const protocole::Reponse reponse{quint32(image.width()), quint32(image.height()), quint32(image.format()),
                                     quint32(image.bytesPerLine())};
    return bacASable::ecrire(reinterpret_cast<const char *>(&reponse), sizeof reponse)
        && bacASable::ecrire(reinterpret_cast<const char *>(image.constBits()), qint64(image.sizeInBytes()));
}

} // namespace

int main(int, char *argv[])
{
    bacASable::isoler();
    qInstallMessageHandler(taire);

    // Some readers draw (the SVG one draws text with the toolkit's fonts), so
    // the helper is a GUI application, on a platform of its own: never the
    // user's display, whatever the environment says. On Windows the minimal
    // one draws with the system's fonts.
    static char plateforme[] = "-platform";
    static char theme[] = "-platformtheme";
#ifdef Q_OS_WIN
    static char laPlateforme[] = "minimal:enable_fonts";
    static char leTheme[] = "minimal";
#else
    static char laPlateforme[] = "offscreen";
    static char leTheme[] = "offscreen";
#endif
    int argcQt = 5;
    char *argvQt[] = {argv[0], plateforme, laPlateforme, theme, leTheme, nullptr};
    const QGuiApplication application(argcQt, argvQt);
    lecture::chargerLecteurs();
    {
        // The system's fonts are listed and the default one loaded now,
        // before the clock runs: a picture's first letter would pay for it.
        QImage essai(8, 8, QImage::Format_ARGB32_Premultiplied);
        QPainter(&essai).drawText(0, 8, QStringLiteral("a"));
    }
    if (!bacASable::ecrire(&protocole::pret, 1))
        _exit(EXIT_FAILURE);

    protocole::Demande demande{};
    QFile fichier;
    QByteArray ecran;
    if (!bacASable::recevoir(demande, fichier, ecran) || demande.largeur > 1u << 16 || demande.hauteur > 1u << 16
        || !bacASable::limiter(fichier.size()) || !bacASable::enfermer(dossiersLisibles()))
        _exit(EXIT_FAILURE);
    // Only a plain suffix, as the viewer sends it; anything else is no hint.
    QByteArray suffixe(demande.suffixe, int(qstrnlen(demande.suffixe, sizeof demande.suffixe)));
    const auto simple = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
    if (!std::all_of(suffixe.cbegin(), suffixe.cend(), simple))
        suffixe.clear();
    const QImage image
        = lecture::lirePartieVisible(&fichier, suffixe, QSize(int(demande.largeur), int(demande.hauteur)), ecran);
    // Ends at once: nothing is left to release that the system does not.
    _exit(!image.isNull() && repondre(image) ? EXIT_SUCCESS : EXIT_FAILURE);
}
