// tzd: the time-zone service. It takes no arguments and reads no configuration file.
#include "tz_startup.h"

int main(int, char **) {
    tz_config_register();
    return 0;
}
