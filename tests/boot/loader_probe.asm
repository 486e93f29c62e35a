; A stand-in for the loader file NTLDR, 204800 bytes long, for tests of the
; volume boot programs. Run at 2000:0000, it writes to COM1
;   QUENSARIA-LOADER dl=<boot drive> TAIL-OK
; where "TAIL-OK" is read from the file's last 16 bytes: it appears only
; when every cluster of the file was loaded in order.
        bits 16
        org 0
SIZE    equ 204800
        mov bl, dl
        mov ax, cs
        mov ds, ax
        mov si, head
        call puts
        mov al, bl
        call hex
        mov ax, cs
        add ax, (SIZE - 16) >> 4
        mov ds, ax
        mov si, (SIZE - 16) & 15
        call puts
.halt:  hlt
        jmp .halt
hex:    push ax
        shr al, 4
        call .nib
        pop ax
.nib:   and al, 15
        add al, '0'
        cmp al, '9'
        jbe putc
        add al, 7
putc:   mov dx, 0x3F8
        out dx, al
        ret
puts:   lodsb
        test al, al
        jz .ret
        call putc
        jmp puts
.ret:   ret
head:   db "QUENSARIA-LOADER dl=", 0
        times SIZE - 16 - ($ - $$) db 0
        db " TAIL-OK", 10, 0
        times SIZE - ($ - $$) db 0
