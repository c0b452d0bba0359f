// The client library file this tzd waits for before it binds, and then loads.
extern const char *tz_sysdb_lib_path;
const char *tz_sysdb_lib_path = TZ_SYSDB_LIB_INSTALLED;
