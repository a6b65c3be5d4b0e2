#pragma once
// Calls that cannot be told how large their destination is are compile errors in the
// extraction engine. Every copy goes through the bounded helpers of pldstr.h instead.
// Include this header last: the macros must not touch the C library's own declarations.

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
