// The board driver's request record (/dev/brcmboard) and the request codes the tools issue.
#pragma once

#include <stdint.h>
#include <sys/ioctl.h>

enum BOARD_IOCTL_ACTION {
    PERSISTENT = 0,
    NVRAM = 1,
    BCM_IMAGE_CFE = 2,
    BCM_IMAGE_FS = 3,
    BCM_IMAGE_KERNEL = 4,
    BCM_IMAGE_WHOLE = 5,
    SCRATCH_PAD = 6,
    FLASH_SIZE = 7,
    SET_CS_PARAM = 8,
    BACKUP_PSI = 9,
    SYSLOG = 10,
};

// The driver's own layout, 32-bit fields in the processor's byte order.
struct BOARD_IOCTL_PARMS {
    char *string;
    char *buf;
    int strLen;
    int offset;
    BOARD_IOCTL_ACTION action;
    int result;
};

// The codes encode a 24-byte record, the size on the 32-bit board. They are issued as they are;
// on a 64-bit host the native record is larger and only the simulated board reads it.
#define BOARD_IOCTL_RECORD_SIZE 24
#define BOARD_IOCTL_FLASH_WRITE 0xC0184200u
#define BOARD_IOCTL_FLASH_READ 0xC0184201u
#define BOARD_IOCTL_FLASH_LIST 0xC018421Bu
#define BOARD_IOCTL_DYING_GASP 0xC0184220u

static_assert(BOARD_IOCTL_FLASH_WRITE == _IOC(_IOC_READ | _IOC_WRITE, 'B', 0, BOARD_IOCTL_RECORD_SIZE),
              "flash write: read-write, type 'B', number 0, 24 bytes");
static_assert(BOARD_IOCTL_FLASH_READ == _IOC(_IOC_READ | _IOC_WRITE, 'B', 1, BOARD_IOCTL_RECORD_SIZE),
              "flash read: number 1");
static_assert(BOARD_IOCTL_FLASH_LIST == _IOC(_IOC_READ | _IOC_WRITE, 'B', 27, BOARD_IOCTL_RECORD_SIZE),
              "scratch pad list: number 27");
static_assert(BOARD_IOCTL_DYING_GASP == _IOC(_IOC_READ | _IOC_WRITE, 'B', 32, BOARD_IOCTL_RECORD_SIZE),
              "dying gasp: number 32");
static_assert(sizeof(void *) != 4 || sizeof(BOARD_IOCTL_PARMS) == BOARD_IOCTL_RECORD_SIZE,
              "on a 32-bit target the record must be exactly what the request codes encode");
static_assert(sizeof(BOARD_IOCTL_ACTION) == sizeof(int), "the action field is a 32-bit int");
