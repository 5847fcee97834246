/* The three firmware images linked in as read-only data, for platforms without executable
   resources. Each image gets a start and an end symbol; its size is their difference. */
#if defined(__APPLE__)
#define SYM(name) _##name
#define RODATA .section __TEXT,__const
#else
#define SYM(name) name
#define RODATA .section .rodata
#endif

#define IMAGE(id, file)                  \
    .global SYM(tavik_firmware_##id##_begin); \
    .global SYM(tavik_firmware_##id##_end);   \
    .balign 64;                           \
    SYM(tavik_firmware_##id##_begin):     \
    .incbin file;                         \
    SYM(tavik_firmware_##id##_end):

    RODATA
    IMAGE(103, TAVIK_FIRMWARE_103)
    IMAGE(104, TAVIK_FIRMWARE_104)
    IMAGE(105, TAVIK_FIRMWARE_105)

#if defined(__linux__) && defined(__ELF__)
    .section .note.GNU-stack,"",%progbits
#endif
