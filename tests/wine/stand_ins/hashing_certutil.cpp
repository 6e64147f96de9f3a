// A stand-in for Windows' certutil.exe, for Wine only, whose certutil is a
// stub that prints nothing. It does the one thing install.cmd asks of it,
// `certutil -hashfile FILE SHA256`, and prints what a Brazilian Portuguese
// Windows 10 or later prints: a translated first and last line around the
// untranslated hex digits. The deployment test puts it in system32 of its
// own Wine prefix for as long as it runs; never on a real Windows machine.
#include "../support/sha256.h"
#include "oem_text.h"

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    using namespace vek::wine_test;
    if (argc != 4 || _wcsicmp(argv[1], L"-hashfile") != 0 || _wcsicmp(argv[3], L"SHA256") != 0) {
        write_oem(L"CertUtil: argumentos desconhecidos (stand-in: só -hashfile ARQUIVO SHA256)\r\n");
        return 1;
    }
    std::optional<std::string> hash = sha256_hex(argv[2]);
    if (!hash) {
        write_oem(L"CertUtil: -hashfile FALHA: 0x80070002 (WIN32: 2 ERROR_FILE_NOT_FOUND)\r\n");
        return 2;
    }
    write_oem(L"Hash SHA256 de " + std::wstring(argv[2]) + L":\r\n" +
              std::wstring(hash->begin(), hash->end()) +
              L"\r\nCertUtil: -hashfile comando concluído com êxito.\r\n");
    return 0;
}
