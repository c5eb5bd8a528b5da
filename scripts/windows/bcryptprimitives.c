/* bcryptprimitives.dll for wine 8, which lacks it: Windows 10 has it, and the
 * Rust standard library takes its random bytes from its ProcessPrng (mypy's
 * parser, ast_serialize, is built with Rust and does not load without it).
 * The bytes come from RtlGenRandom (advapi32's SystemFunction036). */
#include <windows.h>

BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

__declspec(dllexport) BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T size)
{
    while (size > 0) {
        ULONG n = size > 0x10000000 ? 0x10000000 : (ULONG)size;
        if (!SystemFunction036(data, n))
            return FALSE;
        data += n;
        size -= n;
    }
    return TRUE;
}
