/*
 * CvBaseSehFaultStub: where a faulting thread resumes when its fault is translated.
 *
 * The exception handler leaves the thread with a return address into the faulting function on
 * top of the stack and its registers as they were at the fault, then lets it run here. The stub
 * calls CvBaseSehRaise, which throws; its unwind information lets the unwinder step from here
 * into the faulting frame as if that frame had called the stub.
 *
 * The stack is aligned on 16 in a function body and on 8 in a function without a frame, so after
 * the pushed return address it may have either alignment; the stub aligns it through a frame
 * pointer before the call.
 */
    .text
    .globl  CvBaseSehFaultStub
    .def    CvBaseSehFaultStub; .scl 2; .type 32; .endef
    .seh_proc CvBaseSehFaultStub
CvBaseSehFaultStub:
    pushq   %rbp
    .seh_pushreg %rbp
    movq    %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq    $-16, %rsp
    subq    $32, %rsp               /* the callee's register home area */
    call    CvBaseSehRaise
    int3                            /* never reached; keeps the return address inside the stub */
    .seh_endproc

/*
 * CvBaseSehGuardedCall(call, context): calls call(context) in a frame of its own whose exception
 * handler, CvBaseSehGuard, is asked about every exception that no frame below took.
 */
    .globl  CvBaseSehGuardedCall
    .def    CvBaseSehGuardedCall; .scl 2; .type 32; .endef
    .seh_proc CvBaseSehGuardedCall
CvBaseSehGuardedCall:
    subq    $40, %rsp               /* the callee's register home area, and the stack aligned */
    .seh_stackalloc 40
    .seh_endprologue
    movq    %rcx, %rax
    movq    %rdx, %rcx
    call    *%rax
    nop                             /* the return address stays inside the guarded body */
    addq    $40, %rsp
    ret
    .seh_handler CvBaseSehGuard, @except
    .seh_endproc
