; Boot program of the FAT volume's boot sector: bytes 62..509.
;
; Started at 0000:7C00 by the master boot record with DL = boot drive. It
; loads the first FAT and the root directory, looks for the loader file
; "NTLDR", loads the file's cluster chain to 2000:0000 and jumps there with
; DL = boot drive. Without the file it prints "NTLDR is missing" and "Press
; any key to restart", waits for a key and restarts the machine; a sector the
; BIOS cannot read prints "Disk error" and the same prompt.
;
; The volume's sectors may be larger than the BIOS's 512 bytes (the
; configurator's FAT volumes have 4096): every volume sector count is scaled
; to disk sectors. The FAT is 12 bits wide below 4085 clusters, 16 bits from
; there on.
;
; Assemble: nasm -f bin -o fat.bin fat.asm  (scripts/assemble-boot-programs)

%include "volume_boot.inc"

        bits 16
        cpu 386
        org 0x7C00 + 62

RootEnts        equ 0x11        ; word
TotSec16        equ 0x13        ; word
FatSize16       equ 0x16        ; word
TotSec32        equ 0x20        ; dword
DriveNum        equ 0x24        ; byte

Fat12           equ -13         ; byte: 1 on FAT12, 0 on FAT16

FAT_SEG         equ 0x7000      ; the whole first FAT (up to 128 KiB at 70000)
LOADER_LIMIT    equ 0x70        ; so the loader stays below it

start:
        ENTER_BOOT_SECTOR
        movzx esi, byte [bp + BytesPerSec + 1]
        shr si, 1                       ; ESI = disk sectors per volume sector
        movzx eax, byte [bp + SecPerClus]
        mul esi
        mov [bp + ClusterSecs], ax
        imul ebx, eax, 4085             ; disk sectors of 4085 clusters

        ; the first FAT follows the reserved sectors
        movzx eax, word [bp + ResvdSecs]
        mul esi
        add eax, [bp + Hidden]
        movzx ecx, word [bp + FatSize16]
        imul cx, si
        push FAT_SEG
        pop es
        call read_sectors
        ; the root directory follows the FATs, the data area follows it
        movzx dx, byte [bp + NumFats]
.fats:
        add eax, ecx
        dec dx
        jnz .fats
        mov cx, [bp + RootEnts]
        shr cx, 4                       ; 16 entries per disk sector
        push DIR_SEG
        pop es
        push es
        call read_sectors
        add eax, ecx
        mov [bp + DataLba], eax
        xchg eax, edi

        ; FAT12 below 4085 clusters. A volume uses one of the two total
        ; fields and keeps the other 0.
        movzx eax, word [bp + TotSec16]
        add eax, [bp + TotSec32]
        mul esi
        add eax, [bp + Hidden]
        sub eax, edi
        cmp eax, ebx
        setb [bp + Fat12]

        pop es
        mov dx, [bp + RootEnts]
        call find_loader                ; high cluster word: 0 on FAT12/16
        jc loader_missing
        ; on into load_loader
        VOLUME_BOOT_ROUTINES

; EAX = cluster -> EAX = the next one; CF set at the end of the chain.
next_cluster:
        movzx ebx, ax
        movzx cx, byte [bp + Fat12]
        mov edx, ebx
        shr edx, cl
        add ebx, edx                    ; 1.5 or 2 bytes per entry
        mov edx, ebx
        shr edx, 4
        add dh, FAT_SEG >> 8
        mov fs, dx
        and bx, 15
        test al, 1                      ; odd entries are the high 12 bits
        mov ax, [fs:bx]
        jcxz .check
        jz .even
        shr ax, 4
.even:
        and ah, 0x0F
        cmp ax, 0x0FF8
        jb .check
        or ah, 0xF0                     ; end of chain, in 16-bit terms
.check:
        cmp ax, 0xFFF8
        cmc
        ret

        times 448 - ($ - $$) db 0
