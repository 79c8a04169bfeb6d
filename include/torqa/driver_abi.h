/* The driver interface: what a driver library exports for the binding.
 *
 * A driver provides the fifteen standard ODBC functions the binding calls
 * (SQLAllocEnv, SQLAllocConnect, SQLFreeConnect, SQLFreeEnv, SQLAllocStmt,
 * SQLPrepare, SQLFreeStmt, SQLExecute, SQLFetch, SQLNumResultCols,
 * SQLDescribeCol, SQLNumParams, SQLDescribeParam, SQLBindParameter,
 * SQLGetData) with unixODBC's prototypes from <sql.h> and <sqlext.h>, and the ten private
 * entry points below. Results are 16-bit codes, 0 meaning success, except the
 * three conversions, which return the count of units written.
 *
 * Text: 8-bit text is UTF-8; 16-bit text is UTF-16 in unsigned short units;
 * the server's 16-bit form is UTF-16 with each unit least significant byte
 * first. A conversion stops at the capacity without splitting a character.
 *
 * Threads: the binding calls a driver from one thread at a time per
 * connection, but separate connections from separate threads at once, and
 * the three conversions from any thread.
 */
#ifndef TORQA_DRIVER_ABI_H
#define TORQA_DRIVER_ABI_H

#include <sql.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct torqa_drv_str { const unsigned short* data; unsigned int length; } torqa_drv_str; /* 16-bit text, length in units */

short DrvConnect(SQLHDBC hdbc, const torqa_drv_str* part1, const torqa_drv_str* part2, const torqa_drv_str* part3,
                 const torqa_drv_str* user, const torqa_drv_str* password);
short DrvOpenChannel(SQLHDBC hdbc, void** channel);
short DrvCloseChannel(void* channel);
short DrvBeginMessage(void* channel, const char* code /* 2 chars + NUL */, unsigned int payload_length);
short DrvSendMessage(void* channel, const char* message, unsigned int length); /* includes the 14 reserved bytes */
short DrvNextChunk(void* channel, unsigned int* chunk_length, unsigned char* is_final);
short DrvReadChunk(void* channel, unsigned int length /* <= 32768 */, char* destination);
unsigned short DrvSrvToMb(const char* src, unsigned short src_bytes, char* dst, unsigned short dst_bytes);
unsigned short DrvUniToMb(const unsigned short* src, unsigned short src_units, char* dst, unsigned short dst_bytes);
unsigned short DrvMbToUni(const char* src, unsigned short src_bytes, unsigned short* dst, unsigned short dst_units);

#ifdef __cplusplus
}
#endif

#endif /* TORQA_DRIVER_ABI_H */
