/* quillmar-s3: the nine functions through which a host starts, stops and inspects the embedded S3 server. */
#ifndef QUILLMAR_S3_H
#define QUILLMAR_S3_H

#if defined(QUILLMAR_BUILDING)
#  if defined(_WIN32)
#    define QUILLMAR_API __declspec(dllexport)
#  else
#    define QUILLMAR_API __attribute__((visibility("default")))
#  endif
#else
#  if defined(_WIN32)
#    define QUILLMAR_API __declspec(dllimport)
#  else
#    define QUILLMAR_API
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the server on bind_addr:port (bind_addr null or "" means 127.0.0.1), serving buckets
 * as directories under storage_root. Authentication is on only when both keys are non-empty.
 * Returns 0, or -1 with the reason in s3_last_error(). At most one server per process;
 * safe to call from any thread, also concurrently with the other control functions. */
QUILLMAR_API int s3_server_start_ex(int port, const char *bind_addr, const char *storage_root,
                                    const char *access_key, const char *secret_key);

/* s3_server_start_ex with the bind address 127.0.0.1. */
QUILLMAR_API int s3_server_start(int port, const char *storage_root, const char *access_key,
                                 const char *secret_key);

/* Stops the server: closes the listening socket and waits up to about 10 s for the
 * connection threads. Always returns 0, also when the server was not running. */
QUILLMAR_API int s3_server_stop(void);

/* 1 while the server runs, else 0. */
QUILLMAR_API int s3_server_status(void);

/* The most recent error text (empty when none), never null. The text belongs to the library and
 * stays valid for the life of the process; it is a consistent snapshot per calling thread,
 * replaced by that thread's next call. Do not free it. */
QUILLMAR_API const char *s3_last_error(void);

/* The constant version text "1.2.3". */
QUILLMAR_API const char *s3_version(void);

/* JSON list of the buckets: {"buckets":[...],"count":N}. The text belongs to the library and
 * stays valid until the next call of any of the three JSON functions; copy it to keep it.
 * Calls from several host threads must be serialised by the host. Never null. */
QUILLMAR_API const char *s3_list_buckets_json(void);

/* JSON list of the objects of one bucket (at most 256), with their total size. Ownership as above. */
QUILLMAR_API const char *s3_list_objects_json(const char *bucket);

/* JSON statistics: settings, storage totals and traffic counters. Ownership as above. */
QUILLMAR_API const char *s3_get_stats_json(void);

#ifdef __cplusplus
}
#endif

#endif /* QUILLMAR_S3_H */
