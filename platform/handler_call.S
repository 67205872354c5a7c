/* How the dispatcher calls the program's code: a frame handler with the
 * dispatcher's own record at the head (N1), and a vectored handler or the
 * top-level filter. Each runs on a 16-byte aligned stack with the direction
 * flag clear (H2), and ESP comes back from a register of the helper's, so
 * that stdcall and cdecl code work alike (H1). */
    .text

/* uint32_t call_frame_handler(EXCEPTION_RECORD *record, uint32_t frame,
 *                             CONTEXT *context, uint32_t *dispatcher,
 *                             uint32_t head, uint32_t named)
 * Calls the Handler of the record at `frame` as
 * handler(record, frame, context, dispatcher). While it runs, the
 * dispatcher's record is the head: { Next = head, the chain's head as the
 * dispatch found it; Handler = dispatcher_record_handler; `named`, the
 * record that handler names to a nested exception: the record called, or
 * the end marker for the top-level filter }. When the handler returns, the
 * head is that Next again (D3).
 *
 * Frame, from EBP upward: the caller's EBP, the return address, record,
 * frame, context, dispatcher, head, named. Below EBP: the caller's EBX, then
 * the dispatcher's record (-16: Next, -12: Handler, -8: named). */
    .p2align 4
    .globl  call_frame_handler
    .hidden call_frame_handler
    .hidden dispatcher_record_handler
    .type   call_frame_handler, @function
call_frame_handler:
    pushl   %ebp
    movl    %esp, %ebp
    pushl   %ebx
    pushl   28(%ebp)                /* named */
    call    1f                      /* the handler's address, position-independent */
1:  popl    %ecx
    leal    dispatcher_record_handler - 1b(%ecx), %ecx
    pushl   %ecx                    /* Handler */
    pushl   24(%ebp)                /* Next */
    movl    %esp, %fs:0             /* N1: the dispatcher's record at the head */
    movl    %esp, %ebx              /* the handler keeps EBX */
    andl    $-16, %esp              /* 16 bytes of arguments follow */
    pushl   20(%ebp)                /* DispatcherContext */
    pushl   16(%ebp)                /* ContextRecord */
    pushl   12(%ebp)                /* EstablisherFrame */
    pushl   8(%ebp)                 /* ExceptionRecord */
    movl    12(%ebp), %eax
    cld
    call    *4(%eax)                /* the record's Handler */
    cld
    movl    %ebx, %esp
    movl    0(%esp), %ecx
    movl    %ecx, %fs:0             /* the head as the dispatch found it */
    movl    -4(%ebp), %ebx
    movl    %ebp, %esp
    popl    %ebp
    ret
    .size   call_frame_handler, . - call_frame_handler

/* int32_t call_program(void *fn, EXCEPTION_POINTERS *pointers)
 * fn(pointers): a vectored handler or a top-level filter. */
    .p2align 4
    .globl  call_program
    .hidden call_program
    .type   call_program, @function
call_program:
    pushl   %ebp
    movl    %esp, %ebp
    andl    $-16, %esp
    subl    $12, %esp
    pushl   12(%ebp)                /* pointers */
    cld
    call    *8(%ebp)
    cld
    movl    %ebp, %esp
    popl    %ebp
    ret
    .size   call_program, . - call_program

    .section .note.GNU-stack, "", @progbits
