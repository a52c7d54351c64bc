/*
 * libhwid: this machine's identifier, the same 64 uppercase hex digits that
 * the hwid program prints, and what went into it.
 *
 * Every function may be called from many threads at once and gives the same
 * result on each. The library never prints, never exits, changes no signal
 * disposition and keeps nothing between calls but the cipher's key schedule.
 * A call reads the hardware each time: a few hundred microseconds.
 */
#ifndef HWID_HWID_H
#define HWID_HWID_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(HWID_BUILDING_LIBRARY)
#define HWID_API __declspec(dllexport)
#elif defined(HWID_STATIC)
/* Linking the static library libhwid.a: define HWID_STATIC before including. */
#define HWID_API
#else
#define HWID_API __declspec(dllimport)
#endif
#else
#define HWID_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* 64 hex digits and the terminating zero. */
#define HWID_IDENTIFIER_SIZE 65

typedef enum hwid_status {
    HWID_OK = 0,
    /* A null pointer, or a hwid_facts whose size is 0 or too small. Nothing
     * was written. */
    HWID_INVALID_ARGUMENT = 1,
    /* The machine or the process ran out of its own resources (no file
     * descriptors or handles left, no memory) while reading the disk. No
     * identifier: the one without the disk's serial would be another
     * machine's. Try again later. */
    HWID_RESOURCE_FAILURE = 2
} hwid_status;

/* Writes the identifier and a terminating zero into identifier. On any
 * status but HWID_OK nothing is written. */
HWID_API hwid_status hwid_get_identifier(char identifier[HWID_IDENTIFIER_SIZE]);

/* Where the serial that went into the identifier came from. */
typedef enum hwid_serial_source {
    HWID_SERIAL_NONE = 0,              /* no serial: see HWID_WARNING_NO_SERIAL */
    HWID_SERIAL_SMART_IDENTIFY = 1,    /* the drive's ATA IDENTIFY data */
    HWID_SERIAL_STORAGE_DESCRIPTOR = 2 /* the storage device descriptor */
} hwid_serial_source;

/* No serial number was obtained: the identifier depends on the processor
 * model alone and is shared by every machine with the same CPU. */
#define HWID_WARNING_NO_SERIAL 0x1u

#define HWID_TEXT_SIZE 1024

/*
 * What went into the identifier: the library form of `hwid-explain --json`
 * (run with --show-serial), field by field.
 *
 * The size rule: set `size` to sizeof(hwid_facts) before the call. Later
 * versions only ever add fields at the end of the record, and fill only the
 * fields that fit in `size` bytes, so a program built against this header
 * keeps working with them. A size of 0, or one smaller than this first
 * version of the record, is HWID_INVALID_ARGUMENT; a larger one (a program
 * built against a later header) gets the fields this version knows and the
 * rest of its record untouched. The texts are zero-terminated.
 */
typedef struct hwid_facts {
    uint32_t size;

    /* CPUID: the vendor text of leaf 0, its highest leaf, how many leaves
     * from 0 on were summed into the signature, and the signature. */
    char cpu_vendor[16];
    uint32_t cpu_highest_leaf;
    uint32_t cpu_leaves_summed;
    uint32_t cpu_signature;
    /* What GetVersionEx reports as the platform: 2 for the Windows NT family
     * (the Linux build reports the same); the disk is read only then. */
    uint32_t platform_id;

    /* Drive 0: whether one was found, its path (e.g. /dev/nvme0n1 or
     * \\.\PhysicalDrive0), its bus ("ata", "nvme", "virtio", "scsi", "usb",
     * or empty when unknown) and why it is drive 0. */
    uint32_t drive_found;
    char drive_path[256];
    char drive_bus[32];
    char drive_reason[160];

    /* The serial and model texts as taken from the drive (the serial is the
     * one hashed), where the serial came from, and the probes' diagnostic. */
    uint32_t serial_source; /* a hwid_serial_source */
    char serial[HWID_TEXT_SIZE];
    char model[HWID_TEXT_SIZE];
    char diagnostic[256];

    /* The fold value of the serial, the identifier, and HWID_WARNING_* bits. */
    uint32_t fold_value;
    char identifier[HWID_IDENTIFIER_SIZE];
    uint32_t warnings;
} hwid_facts;

/* Fills facts (see the size rule above). On any status but HWID_OK nothing
 * is written, not even `size`. */
HWID_API hwid_status hwid_get_facts(hwid_facts* facts);

/* A short English text for a status; "unknown status" for other values.
 * The text is static. */
HWID_API const char* hwid_status_text(hwid_status status);

/* The library's version, e.g. "0.1.0". */
HWID_API const char* hwid_version(void);

#ifdef __cplusplus
}
#endif

#endif /* HWID_HWID_H */
