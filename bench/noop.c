/* The baseline for a whole-process run: a 32-bit program that does nothing,
 * linked like ostrevin against the C library alone. */
int main(void) { return 0; }
