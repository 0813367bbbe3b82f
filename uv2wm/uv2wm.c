#include "uv2wm/uv2wm.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Numbers of the illegal-state checks, fixed so that a report names the same
 * check across builds. */
enum {
  checkReadWhileOff = 31,
  checkReadForeignBuffer = 34,
  checkReadOverMax = 37,
  checkWriteDoneWhileOff = 72,
  checkWriteDoneForeign = 76,
  checkAllocWhileOff = 105,
  checkAllocOverMax = 116,
  checkWriteQueueNotEmpty = 172,
  checkWriteInFlightWhileOff = 207,
  checkWritingOnInFlight = 217,
  checkWritingOffNoCancel = 232,
  checkReadSizeMin = 268,
  checkReadSizeMax = 270
};

#define UV2WM_READ_CHUNK 65536

static void illegal_state(int line) { fprintf(stderr, "uv2wm: illegal state: %s:%d\n", "uv2wm\\uv2wm", line); }

static void report(uv2wm_t* record, uint8_t event, const char* data, size_t length) {
  /* The last thing any path does with the record: the callback may free it. */
  record->callback(record, record->user, event, data, length);
}

static void report_error(uv2wm_t* record, int status) {
  record->errorStatus = status;
  report(record, UV2WM_EVENT_ERROR, NULL, 0);
}

static void free_write(uv2wm_write_t* write) {
  free(write->buffer.base);
  free(write);
}

static void on_stream_closed(uv_handle_t* handle) { free(handle); }

static void on_notice_closed(uv_handle_t* handle) { free(handle); }

static void close_notice(uv2wm_t* record) {
  if (record->refusedNotice) {
    record->refusedNotice->data = NULL;
    uv_idle_stop(record->refusedNotice);
    uv_close((uv_handle_t*)record->refusedNotice, on_notice_closed);
    record->refusedNotice = NULL;
  }
}

static void on_refused_notice(uv_idle_t* idle) {
  uv2wm_t* record = (uv2wm_t*)idle->data;
  close_notice(record);
  report(record, UV2WM_EVENT_ERROR, NULL, 0); /* errorStatus set at the refusal */
}

/* Takes ownership of bytes (malloc'd). A write libuv refuses to start would
 * never complete; it is freed and reported as an error on the next loop turn
 * so that the caller is not re-entered from inside its own call. */
static void start_write(uv2wm_t* record, char* bytes, size_t length) {
  int status;
  uv2wm_write_t* write = (uv2wm_write_t*)malloc(sizeof *write);
  write->buffer = uv_buf_init(bytes, (unsigned int)length);
  write->record = record;
  write->request.data = write;
  record->inFlight = write;
  status = uv_write(&write->request, record->stream, &write->buffer, 1, uv2wm_on_write);
  if (status != 0) {
    record->errorStatus = status;
    record->inFlight = NULL;
    free_write(write);
    if (!record->refusedNotice) {
      record->refusedNotice = (uv_idle_t*)malloc(sizeof *record->refusedNotice);
      uv_idle_init(record->stream->loop, record->refusedNotice);
      record->refusedNotice->data = record;
      uv_idle_start(record->refusedNotice, on_refused_notice);
    }
  }
}

static char* copy_bytes(const void* data, size_t length) {
  char* copy = (char*)malloc(length ? length : 1);
  if (length) memcpy(copy, data, length);
  return copy;
}

static void append_queue(uv2wm_t* record, const void* data, size_t length) {
  if (!length) return;
  record->queueData = (char*)realloc(record->queueData, record->queueLength + length);
  memcpy(record->queueData + record->queueLength, data, length);
  record->queueLength += length;
}

static void flush_queue(uv2wm_t* record) {
  char* bytes = record->queueData;
  size_t length = record->queueLength;
  record->queueData = NULL;
  record->queueLength = 0;
  start_write(record, bytes, length);
}

static void free_read_buffer(uv2wm_t* record) {
  free(record->readBuffer);
  record->readBuffer = NULL;
  record->readCapacity = 0;
}

static int below_max(const uv2wm_t* record) {
  return record->maxRead == 0 || record->pendingLength < record->maxRead;
}

uv2wm_t* uv2wm_new(uv_stream_t* stream, void* user, uv2wm_cb callback) {
  uv2wm_t* record = (uv2wm_t*)calloc(1, sizeof *record);
  record->stream = stream;
  record->user = user;
  record->callback = callback;
  stream->data = record;
  return record;
}

void uv2wm_free(uv2wm_t* record) {
  if (!record) return;
  record->stream->data = NULL;
  uv_close((uv_handle_t*)record->stream, on_stream_closed);
  if (record->inFlight) {
    record->inFlight->record = NULL;
    uv_cancel((uv_req_t*)&record->inFlight->request);
  }
  close_notice(record);
  free(record->pendingData);
  free(record->readBuffer);
  free(record->queueData);
  free(record);
}

void uv2wm_write(uv2wm_t* record, const void* data, size_t length) {
  if (record->inFlight) {
    if (!record->writing) {
      illegal_state(checkWriteInFlightWhileOff);
      return;
    }
    append_queue(record, data, length);
  } else if (record->writing) {
    if (record->queueLength != 0) {
      illegal_state(checkWriteQueueNotEmpty);
      return;
    }
    start_write(record, copy_bytes(data, length), length);
  } else {
    append_queue(record, data, length);
  }
}

void uv2wm_set_writing(uv2wm_t* record, int on) {
  uint8_t flag = on ? 1 : 0;
  if (record->writing == flag) return;
  record->writing = flag;
  if (flag) {
    if (record->inFlight) {
      illegal_state(checkWritingOnInFlight);
      return;
    }
    if (record->queueLength) flush_queue(record);
  } else if (record->inFlight) {
    /* libuv cannot cancel a stream write: its bytes still go out and the
     * request frees itself, reporting nothing. */
    if (uv_cancel((uv_req_t*)&record->inFlight->request) != 0) illegal_state(checkWritingOffNoCancel);
    record->inFlight->record = NULL;
    record->inFlight = NULL;
  }
}

void uv2wm_set_read_size(uv2wm_t* record, int32_t minDeliver, uint32_t maxRead) {
  if (record->pendingLength != 0 && minDeliver >= 0 && record->pendingLength >= (size_t)minDeliver)
    illegal_state(checkReadSizeMin);
  if (maxRead != 0 && record->pendingLength >= maxRead) illegal_state(checkReadSizeMax);
  record->minDeliver = minDeliver;
  record->maxRead = maxRead;
  /* Only while reading is on: bytes arriving with the flag off would be an
   * illegal state. libuv refuses a second start harmlessly. */
  if (record->reading && below_max(record)) uv_read_start(record->stream, uv2wm_on_alloc, uv2wm_on_read);
}

void uv2wm_start_read(uv2wm_t* record) {
  if (record->reading) return;
  record->reading = 1;
  if (below_max(record)) uv_read_start(record->stream, uv2wm_on_alloc, uv2wm_on_read);
}

void uv2wm_stop_read(uv2wm_t* record) {
  if (!record->reading) return;
  record->reading = 0;
  free_read_buffer(record);
  uv_read_stop(record->stream);
}

void uv2wm_on_alloc(uv_handle_t* handle, size_t suggested, uv_buf_t* buffer) {
  uv2wm_t* record = (uv2wm_t*)handle->data;
  size_t size;
  (void)suggested;
  *buffer = uv_buf_init(NULL, 0);
  if (!record) return;
  if (!record->reading) {
    illegal_state(checkAllocWhileOff);
    free_read_buffer(record);
    return;
  }
  if (!below_max(record)) {
    illegal_state(checkAllocOverMax);
    free_read_buffer(record);
    return;
  }
  size = record->maxRead ? record->maxRead - record->pendingLength : UV2WM_READ_CHUNK;
  if (record->readBuffer && record->readCapacity >= size) {
    if (record->readCapacity > size) record->readBuffer = (char*)realloc(record->readBuffer, size);
  } else {
    free(record->readBuffer);
    record->readBuffer = (char*)malloc(size);
  }
  record->readCapacity = size;
  *buffer = uv_buf_init(record->readBuffer, (unsigned int)size);
}

void uv2wm_on_read(uv_stream_t* stream, ssize_t count, const uv_buf_t* buffer) {
  uv2wm_t* record = (uv2wm_t*)stream->data;
  size_t n, total;
  char* joined;
  if (!record) return;
  if (count < 0) {
    report_error(record, (int)count);
    return;
  }
  if (count == 0) return;
  n = (size_t)count;
  if (!record->reading) {
    illegal_state(checkReadWhileOff);
    report_error(record, 0);
    return;
  }
  if (!record->readBuffer || buffer->base != record->readBuffer || n > record->readCapacity) {
    illegal_state(checkReadForeignBuffer);
    report_error(record, 0);
    return;
  }
  if (record->maxRead != 0 && record->pendingLength + n > record->maxRead) {
    illegal_state(checkReadOverMax);
    report_error(record, 0);
    return;
  }
  if (record->pendingLength == 0) {
    if (record->minDeliver <= 0 || n >= (size_t)record->minDeliver) {
      report(record, UV2WM_EVENT_DATA, record->readBuffer, n);
      return;
    }
    record->pendingData = record->readBuffer;
    record->pendingLength = n;
    record->readBuffer = NULL;
    record->readCapacity = 0;
    return;
  }
  total = record->pendingLength + n;
  record->pendingData = (char*)realloc(record->pendingData, total);
  memcpy(record->pendingData + record->pendingLength, record->readBuffer, n);
  record->pendingLength = total;
  if (record->minDeliver > 0 && total < (size_t)record->minDeliver) return;
  /* The joined bytes belong to this call from here on: the callback may free
   * the record, the buffer goes only after it returns. */
  joined = record->pendingData;
  record->pendingData = NULL;
  record->pendingLength = 0;
  report(record, UV2WM_EVENT_DATA, joined, total);
  free(joined);
}

void uv2wm_on_write(uv_write_t* request, int status) {
  uv2wm_write_t* write = (uv2wm_write_t*)request->data;
  uv2wm_t* record = write->record;
  if (!record) {
    free_write(write);
    return;
  }
  if (!record->writing) {
    illegal_state(checkWriteDoneWhileOff);
    free_write(write);
    report_error(record, 0);
    return;
  }
  if (write != record->inFlight) {
    illegal_state(checkWriteDoneForeign);
    free_write(write);
    report_error(record, 0);
    return;
  }
  free_write(write);
  record->inFlight = NULL;
  if (status != 0) {
    report_error(record, status);
    return;
  }
  if (record->queueLength) flush_queue(record);
  if (!record->inFlight && !record->refusedNotice) report(record, UV2WM_EVENT_DRAINED, NULL, 0);
}
