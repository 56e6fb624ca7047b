/* Runs the checks of consumer.c from the shared object that holds them and
 * the static codec library. */
int consumer_checks(void);

int main(void) { return consumer_checks(); }
