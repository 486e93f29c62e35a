; Boot program of the FAT32 volume's boot sector: bytes 90..509.
;
; Started at 0000:7C00 by the master boot record with DL = boot drive. It
; walks the root directory's cluster chain looking for the loader file
; "NTLDR", loads the file's cluster chain to 2000:0000 and jumps there with
; DL = boot drive. Without the file it prints "NTLDR is missing" and "Press
; any key to restart", waits for a key and restarts the machine; a sector the
; BIOS cannot read prints "Disk error" and the same prompt. The volume's
; sectors are 512 bytes, as on every FAT32 volume the configurator makes.
;
; Assemble: nasm -f bin -o fat32.bin fat32.asm  (scripts/assemble-boot-programs)

%include "volume_boot.inc"

        bits 16
        cpu 386
        org 0x7C00 + 90

FatSize32       equ 0x24        ; dword
RootClus        equ 0x2C        ; dword
DriveNum        equ 0x40        ; byte

FAT_SEG         equ 0x0800      ; one sector of the FAT, at 8000
LOADER_LIMIT    equ 0x90        ; the loader stays below 90000

start:
        ENTER_BOOT_SECTOR
        movzx ax, byte [bp + SecPerClus]
        mov [bp + ClusterSecs], ax
        movzx eax, word [bp + ResvdSecs]
        add eax, [bp + Hidden]
        mov [bp + FatLba], eax
        ; the data area follows the FATs
        mov ecx, eax
        mov eax, [bp + FatSize32]
        movzx edx, byte [bp + NumFats]
        mul edx
        add eax, ecx
        mov [bp + DataLba], eax

        mov eax, [bp + RootClus]
.directory:
        push DIR_SEG
        pop es
        call read_cluster
        push eax
        push DIR_SEG
        pop es
        mov dx, [bp + ClusterSecs]
        shl dx, 4                       ; 16 entries per sector
        call find_loader
        pop edx                         ; the directory's cluster
        jnc load_loader
        xchg eax, edx
        call next_cluster
        jnc .directory
        jmp loader_missing

; EAX = cluster -> EAX = the next one; CF set at the end of the chain.
next_cluster:
        push es
        shl eax, 2                      ; 4 bytes per entry
        movzx ebx, ax
        and bh, 1                       ; offset within its sector
        shr eax, 9
        add eax, [bp + FatLba]
        mov cx, 1
        push FAT_SEG
        pop es
        call read_sectors
        pop es
        mov eax, [bx + FAT_SEG * 16]
        and eax, 0x0FFFFFFF
        cmp eax, 0x0FFFFFF8
        cmc
        ret

        VOLUME_BOOT_ROUTINES

        times 420 - ($ - $$) db 0
