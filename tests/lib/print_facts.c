/* Test tool: hwid_get_facts as "name value" lines, for comparing with
 * hwid-explain --json --show-serial. Bytes of the texts outside printable
 * ASCII, and the backslash, are written as \xHH. Exit status 1 and the status
 * text on standard error when the call fails.
 *   print_facts [--identifier] [--max-files N]
 * --identifier prints hwid_get_identifier's result alone, as hwid does;
 * --max-files first lowers the process's limit of open files to N (Linux). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include "hwid/hwid.h"

static void text(const char* name, const char* value) {
    printf("%s ", name);
    for (const unsigned char* c = (const unsigned char*)value; *c != 0; ++c) {
        if (*c < 32 || *c > 126 || *c == '\\') {
            printf("\\x%02X", *c);
        } else {
            putchar(*c);
        }
    }
    putchar('\n');
}

int main(int argc, char** argv) {
    int identifierOnly = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--identifier") == 0) {
            identifierOnly = 1;
        } else if (strcmp(argv[i], "--max-files") == 0 && i + 1 < argc) {
#if !defined(_WIN32)
            struct rlimit limit;
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = (rlim_t)strtoul(argv[++i], NULL, 10);
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                perror("print_facts: setrlimit");
                return 2;
            }
#endif
        } else {
            fprintf(stderr, "usage: print_facts [--identifier] [--max-files N]\n");
            return 2;
        }
    }
    if (identifierOnly) {
        char identifier[HWID_IDENTIFIER_SIZE];
        hwid_status status = hwid_get_identifier(identifier);
        if (status != HWID_OK) {
            fprintf(stderr, "print_facts: %s\n", hwid_status_text(status));
            return 1;
        }
        fputs(identifier, stdout);
        return 0;
    }
    hwid_facts facts;
    facts.size = sizeof facts;
    hwid_status status = hwid_get_facts(&facts);
    if (status != HWID_OK) {
        fprintf(stderr, "print_facts: %s\n", hwid_status_text(status));
        return 1;
    }
    text("cpu.vendor", facts.cpu_vendor);
    printf("cpu.highest_leaf %u\ncpu.leaves_summed %u\n", facts.cpu_highest_leaf,
           facts.cpu_leaves_summed);
    printf("cpu.signature 0x%08X\nplatform_id %u\ndrive.found %u\n", facts.cpu_signature,
           facts.platform_id, facts.drive_found);
    text("drive.path", facts.drive_path);
    text("drive.bus", facts.drive_bus);
    text("drive.reason", facts.drive_reason);
    printf("serial_source %u\n", facts.serial_source);
    text("serial", facts.serial);
    text("model", facts.model);
    text("diagnostic", facts.diagnostic);
    printf("fold_value 0x%08X\n", facts.fold_value);
    text("identifier", facts.identifier);
    printf("warnings %u\n", facts.warnings);
    return 0;
}
