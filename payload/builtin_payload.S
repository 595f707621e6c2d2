/* The payload container, built from the track pack at build time, carried in the program. */
#if defined(_WIN32)
    .section .rdata,"dr"
#else
    .section .rodata
#endif
    .balign 16
    .globl tflux_payload_begin
tflux_payload_begin:
    .incbin TFLUX_PAYLOAD_FILE
    .globl tflux_payload_end
tflux_payload_end:
    .byte 0
#if defined(__linux__) && defined(__ELF__)
    .section .note.GNU-stack,"",%progbits
#endif
