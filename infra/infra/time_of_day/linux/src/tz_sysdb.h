// Checking and applying the time-zone item, and passing its notifications on.
#ifndef TZ_SYSDB_H
#define TZ_SYSDB_H

#include <stdint.h>

#include "platform_sysdb.h"

#define TZ_SYSDB_PATH "/cfg/gl/clock/"
#define TZ_PATH_BUF_SIZE 256

extern bgen_data tz_command_bgen_data;
extern bgen_data tz_srp_notify_bgen_data;
extern const bgen_header tz_command_bgen_header;
extern const bgen_header tz_srp_notify_bgen_header;
extern const bgen_handlers tz_command_bgen_handlers;
extern const bgen_handlers tz_srp_notify_bgen_handlers;

int32_t tz_verify_func(sysdb_item *record, void *second, uint32_t *accept, void *fourth);
int32_t tz_apply_func(sysdb_item *record, void *second);
int32_t tz_notification_func(sysdb_item *first, void *second);

int32_t tz_command_check_handler(sysdb_item *record, char **error_text, uint32_t *accept);
int32_t tz_command_apply_handler(sysdb_item *record);
int32_t tz_srp_notify_handler(sysdb_item *first, void *second, void *third);

int32_t check_tz_args(const char *abbreviation, const char *zone);
int32_t act_conf(char *zone);

#endif
