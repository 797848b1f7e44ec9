/* cms_client.h - the client API of cmsd: one TCP connection per request to
 * 127.0.0.1 (port 25001, or CMS_PORT from the environment), one 1024-byte
 * frame each way. Compiles as C and as C++. */
#ifndef CMS_CLIENT_CMS_CLIENT_H_
#define CMS_CLIENT_CMS_CLIENT_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CMS_FRAME_SIZE 1024
#define CMS_NAME_SIZE 64   /* 63 characters and the terminating zero */
#define CMS_VALUE_SIZE 800 /* 799 characters and the terminating zero */
#define CMS_LOCATION_SIZE 64

/* Response status values. */
#define CMS_STATUS_OK 6
#define CMS_STATUS_FAIL 7

/* The request and response frame. Integers are in host byte order; text
 * fields are zero-terminated and zero-padded. In a response the second word
 * is the status. For commands 35 and 36 `value` holds a list of texts, each
 * followed by one zero byte, ended by an empty text. */
typedef struct CMSPacket {
  int32_t pid;
  union {
    int32_t cmd;    /* request: command code */
    int32_t status; /* response: 6 success, 7 failure, 0 not set */
  };
  int32_t reserved;
  char name[CMS_NAME_SIZE];
  char value[CMS_VALUE_SIZE];
  char location[CMS_LOCATION_SIZE]; /* commands 12 to 14: file base name */
  char reserved_tail[84];
} CMSPacket;

/* Sealed requests (from a peer other than 127.0.0.1) carry the time they
 * were sealed in the first 8 bytes of `reserved_tail`: milliseconds since
 * the Unix epoch (CLOCK_REALTIME), a signed 64-bit integer in host byte
 * order. The daemon closes the connection without an answer, as for a tag
 * that fails, when that time is more than CMS_SEALED_FRESHNESS_MS away from
 * its own clock, lies before the daemon started, or when the same sealed
 * bytes were served before; seal every request anew. Plain requests leave
 * the field 0. */
#define CMS_SEALED_TIME_OFFSET 940
#define CMS_SEALED_FRESHNESS_MS 10000

#ifdef __cplusplus
static_assert(sizeof(CMSPacket) == CMS_FRAME_SIZE, "CMSPacket is one frame");
#else
_Static_assert(sizeof(CMSPacket) == CMS_FRAME_SIZE, "CMSPacket is one frame");
#endif

/* Non-zero: connection failures are logged to syslog as debug lines. */
extern int cms_debug_mode;

/* Connects to the daemon; stores the descriptor through fd in every case
 * (-1 when no socket could be made). 1 when connected, 0 otherwise; the
 * caller closes the descriptor either way. */
int initClientSock(int* fd);
/* The same over the local sequenced-packet socket "/tmp/af_unix.socket". */
int initClientSock_AF_UNIX(int* fd);
/* Writes one frame to fd. */
void sendPkt(int fd, const CMSPacket* frame);

/* Command 1, 3 or 34. The value in a process-wide buffer that the next call
 * overwrites, or NULL. */
char* CMSGetValue(const char* name, int cmd);
/* Like CMSGetValue, into buf (at most size - 1 characters). Returns the
 * number of response bytes received (0 to 1024), whatever the outcome: the
 * text in buf tells success from failure. */
int CMSGetValue_EX(const char* name, char* buf, int size, int cmd);
/* Commands 2, 4, 5, 17 to 19, 33, 37. 1 on success, 0 on failure.
 * A value is stored only if its file line holds it whole: the name's length
 * plus the value's length is at most 797 (so 797 minus the name's length
 * characters of value); a replace (17 to 19) must also fit the field line,
 * name plus value at most 247. A longer value is refused, never cut.
 * Command 37 writes name='value' lines (a quote in a value written as '\'',
 * so that sh can source the file) to a regular file or a new one under /tmp,
 * given by an absolute path without ".."; anything else is refused. */
int CMSSetValue(const char* name, const char* value, int cmd);
/* Commands 12 and 13: add name=value to the file `location`. A name that
 * already lives in another file of that side is refused (delete it first to
 * move it). */
int CMSAddParam(const char* name, const char* location, const char* value,
                int cmd);
/* Commands 9, 10, 11. */
int CMSDelParam(const char* name, int cmd);
/* Command 16: write changed parameters now. 1 once the request was sent. */
int CMSWriteParam(int cmd);

#ifdef __cplusplus
}
#endif

#endif /* CMS_CLIENT_CMS_CLIENT_H_ */
