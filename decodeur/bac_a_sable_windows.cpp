// The helper on Windows: the viewer holds it in a job (memory, processor
// time, no process of its own, off the desktop); it lowers its own
// integrity, so that it may write nothing of the user's.

#include "bac_a_sable.h"

#include <QFile>
#include <QStringList>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace bacASable {

namespace {

// Ends the process at once, its status the exception's code, before any
// debugger or report could be offered.
LONG WINAPI finirEnSilence(EXCEPTION_POINTERS *exception)
{
    TerminateProcess(GetCurrentProcess(), UINT(exception->ExceptionRecord->ExceptionCode));
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

void isoler()
{
    // A crash ends the helper quietly, with no dialog for the user to
    // dismiss: the system is told so, and where it offers a debugger all
    // the same (Wine does), the helper has ended first.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(finirEnSilence);
}

namespace {

bool lire(HANDLE entree, char *suite, DWORD reste)
{
    while (reste > 0) {
        DWORD lus = 0;
        if (!ReadFile(entree, suite, reste, &lus, nullptr) || lus == 0)
            return false;
        suite += lus;
        reste -= lus;
    }
    return true;
}

} // namespace

bool recevoir(protocole::Demande &demande, QFile &fichier, QByteArray &ecran)
{
    // The request on the standard input, naming the file's handle, which
    // the viewer has made the helper's own, then the screen's profile.
    const HANDLE entree = GetStdHandle(STD_INPUT_HANDLE);
    if (!lire(entree, reinterpret_cast<char *>(&demande), sizeof demande)
        || demande.octetsDuProfil > quint32(protocole::octetsDuProfilMax))
        return false;
    ecran.resize(int(demande.octetsDuProfil));
    if (!lire(entree, ecran.data(), DWORD(ecran.size())))
        return false;
    const HANDLE poignee = HANDLE(quintptr(demande.fichier));
    if (GetFileType(poignee) != FILE_TYPE_DISK)
        return false;
    const int fd = _open_osfhandle(intptr_t(poignee), _O_RDONLY | _O_BINARY);
    return fd >= 0 && fichier.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
}

bool limiter(qint64)
{
    return true; // the viewer's job holds memory and processor time
}

bool enfermer(const QStringList &)
{
    // Low integrity: what the user's processes own, at medium, it may read
    // but not write. Where the system does not keep integrity levels, the
    // job still holds.
    HANDLE jeton = nullptr;
    SID_IDENTIFIER_AUTHORITY autorite = SECURITY_MANDATORY_LABEL_AUTHORITY;
    PSID basse = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT | TOKEN_QUERY, &jeton)
        && AllocateAndInitializeSid(&autorite, 1, SECURITY_MANDATORY_LOW_RID, 0, 0, 0, 0, 0, 0, 0, &basse)) {
        TOKEN_MANDATORY_LABEL etiquette{{basse, SE_GROUP_INTEGRITY}};
        SetTokenInformation(jeton, TokenIntegrityLevel, &etiquette, DWORD(sizeof etiquette + GetLengthSid(basse)));
    }
    if (basse)
        FreeSid(basse);
    if (jeton)
        CloseHandle(jeton);
    return true;
}

bool ecrire(const char *octets, qint64 taille)
{
    const HANDLE sortie = GetStdHandle(STD_OUTPUT_HANDLE);
    while (taille > 0) {
        DWORD ecrits = 0;
        if (!WriteFile(sortie, octets, DWORD(qMin(taille, qint64(1) << 20)), &ecrits, nullptr) || ecrits == 0)
            return false;
        octets += ecrits;
        taille -= ecrits;
    }
    return true;
}

} // namespace bacASable
