#pragma once
// Calls that cannot be told how large their destination is are compile errors in the
// extraction engine. Every copy goes through the bounded helpers of pldstr.h instead.
// The build forces this header into every unit of the engine before its own first line
// (-include), so no file can forget it. The C library's declarations are read first, so
// that the macros touch only calls; their include guards keep them from being read again.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MIMEEXTRACT_BANNED(func) sorry_##func##_is_a_banned_function_use_pldstr

#undef strcpy
#define strcpy(...) MIMEEXTRACT_BANNED(strcpy)
#undef strcat
#define strcat(...) MIMEEXTRACT_BANNED(strcat)
#undef strncpy
#define strncpy(...) MIMEEXTRACT_BANNED(strncpy)
#undef sprintf
#define sprintf(...) MIMEEXTRACT_BANNED(sprintf)
#undef vsprintf
#define vsprintf(...) MIMEEXTRACT_BANNED(vsprintf)
#undef gets
#define gets(...) MIMEEXTRACT_BANNED(gets)
#undef strtok
#define strtok(...) MIMEEXTRACT_BANNED(strtok)
