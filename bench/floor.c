/* The floor: a static C program that prints 64 bytes and exits. */
#include <stdio.h>

int main(void) {
    fputs("0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF", stdout);
    return 0;
}
