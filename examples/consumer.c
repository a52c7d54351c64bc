/* Prints this machine's identifier through libhwid, as hwid does: 64 hex
 * digits, no line end; on failure, why, and exit status 1. */
#include <hwid/hwid.h>
#include <stdio.h>

int main(void) {
    char identifier[HWID_IDENTIFIER_SIZE];
    hwid_status status = hwid_get_identifier(identifier);
    if (status != HWID_OK) {
        fprintf(stderr, "consumer: %s\n", hwid_status_text(status));
        return 1;
    }
    fputs(identifier, stdout);
    return fflush(stdout) == 0 ? 0 : 1;
}
