// Start-up, the main event loop and the teardown of the service process.
#ifndef TZ_STARTUP_H
#define TZ_STARTUP_H

#include <pthread.h>
#include <stdint.h>

#include "platform_events.h"
#include "platform_sysdb.h"

#define TZ_EVM_BUF_SIZE 128

extern evm_handle_t tz_evm;
extern event_context tz_evm_ctx;
extern uint8_t tz_evm_buf[TZ_EVM_BUF_SIZE];
extern sysdb_conn *lr_sysdb_conn;

int tz_config_register(void);
uint32_t tz_do_registerations(void);
int osag_pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                        void *arg);

#endif
