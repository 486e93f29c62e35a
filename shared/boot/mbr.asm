; Boot program of the master boot record: bytes 0..439 of sector 0.
;
; The BIOS loads sector 0 at 0000:7C00 and jumps to it with the boot drive in
; DL. The program moves itself to 0000:0600 to free 7C00 for the partition's
; boot sector, checks that exactly one entry of the partition table is active
; (boot flag 0x80, every other flag 0), reads the first sector of that entry's
; partition to 0000:7C00 and jumps to it with DL = boot drive and DS:SI = the
; partition entry, as partition boot sectors expect.
;
; Reads use the BIOS extended read (INT 13h AH=42h) when the drive offers it
; and fall back to a CHS read computed from the drive's BIOS geometry. A read
; is tried five times with a disk reset in between.
;
; Failures print one of three messages through the BIOS teletype and halt:
; "Invalid partition table", "Error loading operating system" (the read
; failed), "Missing operating system" (no 0x55 0xAA signature). The messages
; sit at fixed offsets 300, 324 and 355; bytes 437..439 hold the low bytes of
; those offsets, which the code uses to find them.
;
; Assemble: nasm -f bin -o mbr.bin mbr.asm  (scripts/assemble-boot-programs)

        bits 16
        cpu 386
        org 0x0600

BASE            equ 0x0600              ; where the program runs after the move
LOAD            equ 0x7C00              ; where BIOS put us; where the next sector goes
TABLE           equ BASE + 446
MESSAGE_LOWS    equ BASE + 437
MESSAGE_PAGE    equ (BASE + 0x100) >> 8 ; every message lies in BASE+0x100..0x1FF
READ_TRIES      equ 5

start:
        cli
        xor ax, ax
        mov ss, ax
        mov sp, LOAD
        mov ds, ax
        mov es, ax
        sti
        cld
        mov si, LOAD
        mov di, BASE
        mov cx, 256
        rep movsw
        jmp 0:relocated

relocated:
        mov [drive], dl
        ; Exactly one active entry; any flag other than 0 and 0x80 is damage.
        mov si, TABLE
        xor bp, bp                      ; the active entry, once found
        mov cl, 4                       ; CX is 0 after the move
.scan:
        mov al, [si]
        test al, al
        jz .next
        cmp al, 0x80
        jne invalid_table
        test bp, bp
        jnz invalid_table
        mov bp, si
.next:
        add si, 16
        loop .scan
        test bp, bp
        jz invalid_table

        mov di, READ_TRIES
.try:
        call read_boot_sector
        jnc .loaded
        xor ax, ax                      ; reset the disk system, then retry
        mov dl, [drive]
        int 0x13
        dec di
        jnz .try
        mov al, [MESSAGE_LOWS + 1]      ; "Error loading operating system"
        jmp print_and_halt

.loaded:
        mov al, [MESSAGE_LOWS + 2]      ; "Missing operating system"
        cmp word [LOAD + 510], 0xAA55
        jne print_and_halt
        mov si, bp
        mov dl, [drive]
        jmp 0:LOAD

invalid_table:
        mov al, [MESSAGE_LOWS]          ; "Invalid partition table"
        ; fall through

; AL = low byte of the message's offset in the program.
print_and_halt:
        mov ah, MESSAGE_PAGE
        mov si, ax
.char:
        lodsb
        test al, al
        jz .halt
        mov ah, 0x0E
        mov bx, 7
        int 0x10
        jmp .char
.halt:
        hlt
        jmp .halt

; Reads the first sector of the partition whose entry BP points at into
; 0000:LOAD. CF set on failure. Keeps BP and DI.
read_boot_sector:
        pusha
        mov ah, 0x41                    ; extensions present?
        mov bx, 0x55AA
        mov dl, [drive]
        int 0x13
        jc .chs
        cmp bx, 0xAA55
        jne .chs
        test cl, 1                      ; packet interface supported
        jz .chs
        push dword 0                    ; disk address packet: LBA high
        push dword [bp + 8]             ; LBA low
        push ds                         ; buffer segment (0)
        push word LOAD                  ; buffer offset
        push word 1                     ; one sector
        push word 16                    ; packet size
        mov si, sp
        mov ah, 0x42
        mov dl, [drive]
        int 0x13
        popa                            ; drops the packet; flags stay
        popa
        ret

.chs:
        mov ah, 0x08                    ; drive geometry
        mov dl, [drive]
        push es
        int 0x13
        pop es
        jc .done
        and cl, 0x3F                    ; sectors per track
        jz .fail
        movzx ecx, cl
        movzx ebx, dh
        inc bx                          ; heads
        mov eax, [bp + 8]
        xor edx, edx
        div ecx                         ; EAX = track, DX = sector - 1
        inc dx
        mov cl, dl
        xor edx, edx
        div ebx                         ; EAX = cylinder, DX = head
        cmp eax, 1023
        ja .fail
        mov ch, al                      ; cylinder bits 0..7
        shl ah, 6
        or cl, ah                       ; cylinder bits 8..9 above the sector
        mov dh, dl
        mov dl, [drive]
        mov bx, LOAD
        mov ax, 0x0201
        int 0x13
        jmp .done
.fail:
        stc
.done:
        popa
        ret

drive:  db 0

        times 300 - ($ - $$) db 0
message_invalid:    db "Invalid partition table", 0
message_loading:    db "Error loading operating system", 0
message_missing:    db "Missing operating system", 0
        times 437 - ($ - $$) db 0
        db message_invalid - $$ & 0xFF
        db message_loading - $$ & 0xFF
        db message_missing - $$ & 0xFF
