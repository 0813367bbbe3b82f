#ifndef ZAV_UV2WM_H
#define ZAV_UV2WM_H

/* A record over one connected libuv stream: reads delivered in pieces of a
 * chosen size (short reads are held back and joined) and a write queue that
 * collects bytes while writing is off and goes out as one libuv write when
 * writing is turned on. Every event goes to one callback. Loop thread only;
 * no locks. */

#include <stddef.h>
#include <stdint.h>

#include <uv.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct uv2wm_s uv2wm_t;

/* Events. */
#define UV2WM_EVENT_DATA 0    /* data, length: the delivered bytes, valid only during the call */
#define UV2WM_EVENT_DRAINED 1 /* the last write completed and nothing is queued */
#define UV2WM_EVENT_ERROR 2   /* end of stream, read or write error, or an illegal state: errorStatus says which */

/* The callback may free the record (uv2wm_free) or change its user and
 * callback; the module touches nothing of the record after calling it. */
typedef void (*uv2wm_cb)(uv2wm_t* record, void* user, uint8_t event, const char* data, size_t length);

typedef struct uv2wm_write_s uv2wm_write_t;

struct uv2wm_s {
  uv_stream_t* stream;
  uv2wm_write_t* inFlight;
  uint32_t maxRead;   /* 0: no limit, reads use 65536-byte buffers */
  int32_t minDeliver; /* shorter reads are held back and joined */
  uint8_t reading;
  uint8_t writing;
  void* user;
  uv2wm_cb callback;
  char* pendingData;
  size_t pendingLength;
  char* readBuffer;
  size_t readCapacity;
  char* queueData;
  size_t queueLength;
  /* Reports a write that libuv refused to start, on a later loop turn. */
  uv_idle_t* refusedNotice;
  /* Why the last event 2 came: libuv's status (UV_EOF for the peer's orderly
   * end, another error code for a failed read or write or a refused write),
   * or 0 for an illegal state. Only an orderly end tells a user that the
   * peer finished what it sent. */
  int errorStatus;
};

/* One libuv write of the module: its own copy of the bytes. record is cleared
 * when the record lets go of it; the request then frees itself on completion. */
struct uv2wm_write_s {
  uv_write_t request;
  uv_buf_t buffer;
  uv2wm_t* record;
};

/* stream: a connected libuv stream allocated with malloc (the record frees it
 * with free() once closed). Limits 0, reading and writing off. */
uv2wm_t* uv2wm_new(uv_stream_t* stream, void* user, uv2wm_cb callback);

/* Closes and frees the stream and everything the record holds; a write in
 * flight frees itself when libuv completes it. No event is reported after
 * this, also when called from inside the callback. */
void uv2wm_free(uv2wm_t* record);

/* Copies the bytes; the caller keeps its buffer. */
void uv2wm_write(uv2wm_t* record, const void* data, size_t length);
void uv2wm_set_writing(uv2wm_t* record, int on);
void uv2wm_set_read_size(uv2wm_t* record, int32_t minDeliver, uint32_t maxRead);
void uv2wm_start_read(uv2wm_t* record);
void uv2wm_stop_read(uv2wm_t* record);

/* The libuv callbacks the module registers for itself. */
void uv2wm_on_alloc(uv_handle_t* handle, size_t suggested, uv_buf_t* buffer);
void uv2wm_on_read(uv_stream_t* stream, ssize_t count, const uv_buf_t* buffer);
void uv2wm_on_write(uv_write_t* request, int status);

#ifdef __cplusplus
}
#endif

#endif
