// The client library file an installed tzd waits for before it binds.
extern const char *tz_sysdb_lib_path;
const char *tz_sysdb_lib_path = TZ_SYSDB_LIB_INSTALLED;
