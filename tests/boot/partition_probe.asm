; A partition boot sector for tests of the master boot record: it reports on
; the serial port COM1 what the loader handed over, then halts:
;   QUENSARIA-PROBE dl=<boot drive> flag=<entry's boot flag> lba=<entry's first sector>
; Its messages are addressed for 0000:7C00, so a sector loaded anywhere
; else prints nothing useful.
        bits 16
        org 0x7C00
        mov bx, si              ; the partition entry (DS:SI)
        xor ax, ax
        mov ds, ax
        mov es, ax
        cld
        mov si, text
        call puts
        mov al, dl
        call hex
        mov si, text_flag
        call puts
        mov al, [bx]
        call hex
        mov si, text_lba
        call puts
        mov cx, 4
.lba:   mov di, cx
        mov al, [bx + di + 7]
        call hex
        loop .lba
        mov al, 10
        call putc
.halt:  hlt
        jmp .halt
puts:   lodsb
        test al, al
        jz .ret
        call putc
        jmp puts
.ret:   ret
hex:    push ax
        shr al, 4
        call nibble
        pop ax
nibble: and al, 15
        add al, '0'
        cmp al, '9'
        jbe putc
        add al, 7
putc:   push dx
        mov dx, 0x3F8
        out dx, al
        pop dx
        ret
text:       db "QUENSARIA-PROBE dl=", 0
text_flag:  db " flag=", 0
text_lba:   db " lba=", 0
        times 510 - ($ - $$) db 0
        dw 0xAA55
