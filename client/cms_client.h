/* cms_client.h - the client API of cmsd: one TCP connection per request to
 * 127.0.0.1 (port CMS_DEFAULT_PORT, or CMS_PORT from the environment), one
 * 1024-byte frame each way. Compiles as C (C99 and later) and as C++.
 *
 * Threads: every call uses its own connection and stack frames, so calls may
 * run in several threads at once. The error of the last call
 * (CMSLastError) and the buffer of CMSGetValue belong to the calling thread.
 * The library writes nothing to standard output or standard error. */
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

/* The daemon's port on 127.0.0.1 when CMS_PORT is not set. */
#define CMS_DEFAULT_PORT 25001

/* Command codes of the request frame. The set, delete, add and replace codes
 * double as the store's mode: they select the side (user, ISP or both). */
typedef enum CMSCommand {
  CMS_CMD_GET_USER = 1,
  CMS_CMD_SET_USER = 2,
  CMS_CMD_GET_ISP = 3,
  CMS_CMD_SET_ISP = 4,
  CMS_CMD_SET_BOTH = 5,
  CMS_CMD_DELETE_USER = 9,
  CMS_CMD_DELETE_ISP = 10,
  CMS_CMD_DELETE_BOTH = 11,
  CMS_CMD_ADD_USER = 12,
  CMS_CMD_ADD_ISP = 13,
  CMS_CMD_ADD_REFUSED = 14, /* always answered with status 7 */
  CMS_CMD_WRITE_NOW = 16,   /* answered with an all-zero frame */
  CMS_CMD_REPLACE_USER = 17,
  CMS_CMD_REPLACE_ISP = 18,
  CMS_CMD_REPLACE_BOTH = 19,
  CMS_CMD_PUSH = 33, /* queue a command value */
  CMS_CMD_POP = 34,  /* take the oldest queued value */
  CMS_CMD_SET_MULTI = 35,
  CMS_CMD_GET_MULTI = 36,
  CMS_CMD_DUMP = 37, /* every user-side value to the file named in value */
  CMS_CMD_LIST = 40, /* one page of parameters, below */
  CMS_CMD_HISTORY = 41,
  CMS_CMD_STATS = 42
} CMSCommand;

/* Command 40, CMS_CMD_LIST: one page of the parameters, in name order
 * (bytewise), on one frame each way.
 * Request: `name` is the cursor: the page starts after this name (empty: at
 * the first parameter). `value` is a prefix that the names begin with
 * (empty: every name). `location` "isp" lists the ISP-side values, anything
 * else the user-side values.
 * Response: status 6. `name` is the cursor for the next page, empty when
 * this page ends the listing. `value` holds the entries one after the
 * other: a flags byte, the name, a zero byte, the value, a zero byte; a zero
 * flags byte (or the end of the area) ends the page. A parameter without a
 * value on the listed side has the empty value. An entry that does not fit
 * a page of its own carries its whole name and the start of its value, with
 * CMS_LIST_CUT set: get the whole value with command 1 or 3. */
#define CMS_LIST_ENTRY 0x40     /* set in every flags byte */
#define CMS_LIST_USER_FILE 0x01 /* the parameter has a user-side file */
#define CMS_LIST_ISP_FILE 0x02  /* the parameter has an ISP-side file */
#define CMS_LIST_CUT 0x04       /* the value is cut */

/* Response status values. */
#define CMS_STATUS_OK 6
#define CMS_STATUS_FAIL 7

/* C99 has no anonymous unions; GCC and Clang accept one there when told it
 * is an extension. */
#if defined(__cplusplus) || \
    (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L)
#define CMS_ANONYMOUS_UNION
#else
#define CMS_ANONYMOUS_UNION __extension__
#endif

/* The request and response frame. Integers are in host byte order; text
 * fields are zero-terminated and zero-padded. In a response the second word
 * is the status. For commands 35 and 36 `value` holds a list of texts, each
 * followed by one zero byte, ended by an empty text. */
typedef struct CMSPacket {
  int32_t pid;
  CMS_ANONYMOUS_UNION union {
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
 * bytes were served before; seal every request anew. A sealed request whose
 * field is 0 (a client that does not stamp) is still served, and refused
 * only while the daemon remembers having served the same sealed bytes (the
 * last 4,096 such requests). Plain requests leave the field 0. */
#define CMS_SEALED_TIME_OFFSET 940
#define CMS_SEALED_FRESHNESS_MS 10000

#ifdef __cplusplus
static_assert(sizeof(CMSPacket) == CMS_FRAME_SIZE, "CMSPacket is one frame");
#else
/* Fails to compile (negative array size) unless the frame is 1024 bytes. */
typedef char CMSPacketIsOneFrame[sizeof(CMSPacket) == CMS_FRAME_SIZE ? 1 : -1];
#endif

/* Command 41, the change history. Every change the daemon makes to a value
 * gets a number, one higher than the change before, and is kept in a ring
 * of the latest records (4096 unless the daemon was started with another
 * --history size).
 *   request:  `value` = the first number wanted, in decimal ("" or "0": the
 *             oldest still held).
 *   response: status 6; `name` = "OLDEST NEXT BOOT" in decimal: the oldest
 *             number still held, the number the next change will get, and a
 *             number that differs after each start of the daemon (numbers
 *             start again at 1 then). A request older than OLDEST has lost
 *             OLDEST - request records to newer ones.
 *             `value` = records from the number asked for on, as many as fit
 *             whole, each as 11 texts, every text followed by one zero
 *             byte; an empty text where a record's number would start ends
 *             the list (other texts may be empty):
 *               number, time (microseconds since 1970), operation ("set",
 *               "add", "delete", "replace"), side ("user", "isp"), name,
 *               old value, new value, pid (0 for the daemon itself), process
 *               name, internal origin ("start-up", a callback's name, or
 *               empty), peer address (for enciphered clients, else empty).
 *             Each value text starts with one character: '=' the value
 *             follows whole, '~' only its start follows (a long value is cut
 *             in the history), '-' there was no value, '*' the value is not
 *             kept (a secret: the name holds "password", "passwd", "psk",
 *             "secret" or "key").
 *             The next page starts after the last number received, or at
 *             NEXT when the page held none.
 * Command 42, run-time statistics.
 *   request:  `value` = the first line wanted, in decimal ("" = 0).
 *   response: status 6; `name` = the number of lines in decimal; `value` =
 *             lines "key value", each ended by a line feed, from the one
 *             asked for on, as many as fit whole.
 */
#define CMS_HISTORY_FIELDS 11

/* Why the last call of the calling thread failed. */
typedef enum CMSError {
  CMS_OK = 0,
  CMS_ERR_REFUSED = 1,     /* the daemon answered with status 7 */
  CMS_ERR_UNREACHABLE = 2, /* no connection (or CMS_PORT is not a port) */
  CMS_ERR_TIMEOUT = 3,     /* no whole answer within the time-out */
  CMS_ERR_PROTOCOL = 4,    /* the answer is not one for this request */
  CMS_ERR_TOO_LONG = 5,    /* a text does not fit its field or the buffer */
  CMS_ERR_ARGUMENT = 6     /* a null pointer or a size of 0 */
} CMSError;

/* Non-zero: connection failures are logged to syslog as debug lines. */
extern int cms_debug_mode;

/* The error of the calling thread's last call of this API; CMS_OK after a
 * success. */
CMSError CMSLastError(void);
/* A short English text for an error ("timed out", ...); never NULL. */
const char* CMSErrorText(CMSError error);
/* Time-out of every exchange (connect, send and the whole answer) in
 * milliseconds, for all threads; 5000 at start. 0 or less waits for ever. */
void CMSSetTimeout(int milliseconds);
int CMSGetTimeout(void);

/* One exchange: connects, sends `request` as it is, and reads the whole
 * answer into `response`. 1 when 1024 bytes came back, 0 otherwise
 * (CMSLastError tells why). Judging the answer (status, pid) is the
 * caller's part. */
int CMSExchange(const CMSPacket* request, CMSPacket* response);

/* Reentrant get (command 1, 3 or 34): the whole value into buf, which holds
 * size bytes. 1 on success; 0 with buf empty on failure: CMS_ERR_REFUSED
 * when there is no such parameter, side or value, CMS_ERR_TOO_LONG when the
 * value does not fit in buf. */
int CMSGetValueR(const char* name, char* buf, size_t size, int cmd);

/* The calls below refuse (result 0 or NULL, CMS_ERR_TOO_LONG) a name or
 * location longer than 63 characters and a value longer than 799 instead of
 * sending it cut: a cut name would name another parameter. */

/* Connects to the daemon; stores the descriptor through fd in every case
 * (-1 when no socket could be made). 1 when connected, 0 otherwise; the
 * caller closes the descriptor either way. */
int initClientSock(int* fd);
/* The same over the local sequenced-packet socket "/tmp/af_unix.socket". */
int initClientSock_AF_UNIX(int* fd);
/* Writes one frame to fd. */
void sendPkt(int fd, const CMSPacket* frame);

/* Command 1, 3 or 34. The value in a buffer of the calling thread that its
 * next CMSGetValue overwrites, or NULL. */
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
/* Command 16: write changed parameters now. 1 once the request was sent;
 * CMSLastError tells whether the write was seen to end (CMS_OK). */
int CMSWriteParam(int cmd);
/* Command 41: one page of the change history from record `from` on (see
 * above), into *page. 1 when the daemon answered with status 6, else 0. */
int CMSHistoryPage(uint64_t from, CMSPacket* page);
/* Command 42: the statistics lines, into buf (at most size - 1 characters,
 * terminated). 1 on success, 0 when the daemon could not be asked. */
int CMSStats(char* buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* CMS_CLIENT_CMS_CLIENT_H_ */
