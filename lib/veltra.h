/*
 * veltra.h - the interface of VELTRA, the library that lets a shop PC work
 * with an Italian electronic cash register over the network or a serial line.
 *
 * Conventions that hold for every function below:
 *  - Texts are NUL-terminated; buffers belong to the caller, who guarantees
 *    the sizes named in each function's comment.
 *  - Functions that talk to a register take its host as text: a host name
 *    (first character a letter), a dotted IPv4 address, or an empty text or a
 *    text beginning with "@" for the register's default host name (see
 *    README). A host text of 32 characters or more is refused with
 *    ERR_INVALID_IP_ADDRESS.
 *  - Results are signed 32-bit: 0 is success, -1 to -26 are the failures of
 *    ECR_RESULT_MAP below, and some functions return a count of 0 or more.
 *  - On 32-bit Windows every function is __stdcall and exported under its
 *    plain name; elsewhere the platform's only C convention is used.
 *  - The library is not reentrant: call it from one thread at a time.
 *  - No exception leaves the library. Should one arise inside a call (only
 *    running out of memory can cause it), the call returns the failure that
 *    its comment names after "On failure inside:", never 0.
 *  - Files travel by TFTP (UDP, 512-byte blocks). A put returns 0 only once
 *    the register has acknowledged its last block, the empty closing block
 *    of a file of whole blocks included; a get ends only on the block it
 *    expects. Datagrams from the register's own port are always taken; a
 *    server that answers from a new port is followed there. A wait for an
 *    answer ends at its deadline (3 s before a transfer starts, 5 s after),
 *    whatever other datagrams arrive meanwhile.
 *  - Setup mode after a failure: the table, sales, backup, restore and
 *    release calls switch the register into setup mode ("SETUP 1") unless
 *    it is in it. After a failure at or after that switch they leave it
 *    there on purpose (a restore refused half-way leaves the register
 *    half-restored, and such a register must not sell). The till cannot
 *    sell until it leaves setup mode: run the failed call again (a restore
 *    from the same archive), or send "SETUP 0" with ecr_command request 2
 *    (veltra command setup-off).
 *  - Environment variables read at the moment of use: ECR_TRACE (trace log
 *    ecrlog.txt beside the host program), ECR_DEBUG, ECR_PROTO, ECR_TRCINF,
 *    ECR_TRCCSV, ECR_RETRY, TEMP, TMP (and TMPDIR on POSIX), ECR_TFTP_PORT
 *    and ECR_LINE_PORT (the register's ports, 500 and 1723 by default).
 */
#ifndef VELTRA_H
#define VELTRA_H

#include <stdint.h>

#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#define ECR_CALL __stdcall
#else
#define ECR_CALL
#endif

#if defined(_WIN32)
/* The export list lib/veltra.def names the exports, undecorated. */
#define ECR_API
#elif defined(VELTRA_BUILDING) && defined(__GNUC__)
#define ECR_API __attribute__((visibility("default")))
#else
#define ECR_API
#endif

/* Exported data: imported through the DLL's table by Windows callers. */
#if defined(_WIN32) && !defined(VELTRA_BUILDING)
#define ECR_DATA __declspec(dllimport)
#else
#define ECR_DATA ECR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Result codes: XX(name, value, meaning). The same list generates the enum
 * below and the names that ecr_get_err returns, so the two cannot drift.
 */
#define ECR_RESULT_MAP(XX)                                                                \
    XX(ERR_SOCKET_LIBRARY, -1, "socket library not started")                              \
    XX(ERR_HOSTNAME_NON_RISOLTO, -2, "host name not resolved")                            \
    XX(ERR_INVALID_IP_ADDRESS, -3, "dotted address not valid")                            \
    XX(ERR_SOCKET_OPEN, -4, "UDP socket or ICMP handle could not be opened")              \
    XX(ERR_RETE_NON_DISP, -5, "network not available")                                    \
    XX(ERR_TIMEOUT, -6, "no answer in time")                                              \
    XX(ERR_TRANSFER_FAILED, -7, "transfer broken off or refused")                         \
    XX(ERR_INVALID_REQUEST_ID, -8, "unknown request number")                              \
    XX(ERR_INVALID_FILENAME, -9, "file name not among the register files")                \
    XX(ERR_FILE_NOT_FOUND, -10, "local file missing or not readable")                     \
    XX(ERR_INVALID_FILESIZE, -11, "local file of unusable size")                          \
    XX(ERR_FILE_CREATION, -12, "local file cannot be created")                            \
    XX(ERR_REG_IN_ERRORE, -13, "register in error")                                       \
    XX(ERR_REG_NON_DISP, -14, "register not available for the operation")                 \
    XX(ERR_CONNECT_GIA_IN_CORSO, -15, "a connection is already in progress")              \
    XX(ERR_CONNECT_FAILED, -16, "connection failed")                                      \
    XX(ERR_CONNECT_CLOSED, -17, "connection closed")                                      \
    XX(ECR_ERR_PARAMETRI, -18, "parameters not valid")                                    \
    XX(ECR_ERR_REG_NON_ATTIVO, -19, "register not active")                                \
    XX(ECR_ERR_BAUD_NOT_VALID, -20, "baud rate not valid")                                \
    XX(ECR_ERR_PORT_NOT_VALID, -21, "serial port not valid")                              \
    XX(ECR_ERR_REL_FILE_NOT_VALID, -22, "release file not valid")                         \
    XX(ECR_ERR_REL_CASSA_NOT_SUPP, -23, "register model not supported by release update") \
    XX(ECR_ERR_REL_FILE_NOT_CASSA, -24, "release file not meant for this register")       \
    XX(ECR_ERR_DATI_FILE_NOT_VALID, -25, "backup file not valid")                         \
    XX(ECR_ERR_DATI_CASSA_NOT_SUPP, -26, "register model not supported by backup")

#define ECR_RESULT_ENUM_ITEM(name, value, meaning) name = (value),
enum ecr_result { ECR_RESULT_MAP(ECR_RESULT_ENUM_ITEM) };
#undef ECR_RESULT_ENUM_ITEM

/* Bytes a caller's buffer must hold for ecr_get_ver and ecr_get_err. */
#define ECR_VER_BUFSIZE 27
#define ECR_ERR_BUFSIZE 32

/*
 * ecr_get_ver: copies the version text "VELTRA V1.8 del 16/12/2014" with its
 * terminator into verptr (at least ECR_VER_BUFSIZE bytes) and returns verptr.
 * With ECR_DEBUG set it first stops in an attached debugger (never without one).
 * On failure inside: verptr, unchanged or holding the version text.
 */
ECR_API char* ECR_CALL ecr_get_ver(char* verptr);

/*
 * ecr_get_err: writes the name of the result code esito into errptr (at least
 * ECR_ERR_BUFSIZE bytes) and returns errptr: "ERR_TIMEOUT" for -6, and so on
 * for -1 to -26; codes of 0 or more and below -26 give their decimal text.
 * On failure inside: errptr.
 */
ECR_API char* ECR_CALL ecr_get_err(int32_t esito, char* errptr);

/*
 * ecr_ping: sends up to three ICMP echo requests to the register hostname,
 * waiting numsec seconds for each reply (0 or less means 3).
 * Returns 0 when the register answered; ERR_SOCKET_LIBRARY,
 * ERR_HOSTNAME_NON_RISOLTO, ERR_INVALID_IP_ADDRESS (also for 0.0.0.0 and
 * 255.255.255.255) or ERR_RETE_NON_DISP when the host cannot be resolved;
 * ERR_SOCKET_OPEN when no ICMP facility could be opened; ERR_RETE_NON_DISP
 * when the destination is unreachable; ERR_TIMEOUT after three silent tries.
 * On failure inside: ERR_SOCKET_OPEN.
 */
ECR_API int32_t ECR_CALL ecr_ping(const char* hostname, int32_t numsec);

/*
 * ecr_files_list: the register files that ecr_command may put (request 6)
 * and get (request 7), a NULL-terminated array of 14 names: "LOG.BIN",
 * "INTESTAZIONE.BIN", "IVA.BIN", "REPARTI.BIN", "VAL.BIN", "OPERATORI.BIN",
 * "CORTESIA.BIN", "LOGO.BIN", "BITMAP.BIN", "PROG_PARAM.BIN", "PLU.BIN",
 * "CLIENTI.BIN", "FATTURE.BIN", "TAV_MIN.BIN".
 */
ECR_DATA extern const char* const ecr_files_list[];

/*
 * ecr_command: one exchange with the register hostname, chosen by request:
 *   0 fetch the INFO answer line into rspptr (rsplen bytes, at least 2; the
 *     line keeps at most rsplen - 2 characters and its line end, if any)
 *   1 "SETUP 1" (enter setup mode)      2 "SETUP 0" (leave setup mode)
 *   3 "AZZDATI", 4 "AZZFAT", 5 "AZZVEN_CORR", 9 "AZZVEN_ARCH": each then
 *     waits until the register is idle again
 *   6 put the local file filename (its base name must be one of
 *     ecr_files_list, any letter case; PLU.BIN is followed by a wait)
 *   7 get the register's file of the same base name into filename
 *   8 "AZZFIS" (returns as soon as the command is put)
 * rspptr may be NULL; for requests other than 0 it receives an empty text.
 * Returns 0; ERR_INVALID_REQUEST_ID for another request number;
 * ERR_INVALID_FILENAME, ERR_FILE_NOT_FOUND, ERR_INVALID_FILESIZE for the file
 * of requests 6 and 7; ERR_FILE_CREATION when a local file cannot be made;
 * the codes of host resolution (see ecr_ping); ERR_SOCKET_OPEN, ERR_TIMEOUT,
 * ERR_TRANSFER_FAILED from the transfer (also while waiting; a register that
 * stays busy for 10 minutes gives ERR_TIMEOUT). On failure inside:
 * ERR_SOCKET_OPEN (the command may not have been sent).
 */
ECR_API int32_t ECR_CALL ecr_command(const char* hostname, const char* filename, int32_t request,
                                     char* rspptr, int32_t rsplen);

/* Sizes of the INFO answer buffers, of var_list and of the status texts. */
#define ECR_INFO_BUFSIZE 513
#define ECR_INFO_VARS 22
#define ECR_STATUS_BUFSIZE 2

/*
 * ecr_get_info: fetches the register's INFO answer line into info_org (at
 * least ECR_INFO_BUFSIZE bytes, required). If info_mod (at least
 * ECR_INFO_BUFSIZE bytes) and var_list (ECR_INFO_VARS entries) are both
 * given, var_list[k] receives the value of the k-th comma-separated
 * name=value field, pointing into info_mod (empty when the field is missing
 * or has no "="). Every empty entry, also after a failure,
 * points at a terminator inside the caller's info_mod (inside info_org when
 * info_mod is NULL), never at memory of the library. Returns 0, the codes of
 * host resolution and of the transfer, or ECR_ERR_PARAMETRI when info_org is
 * NULL. On failure inside: ERR_SOCKET_OPEN.
 */
ECR_API int32_t ECR_CALL ecr_get_info(const char* hostname, char* info_org, char* info_mod,
                                      char** var_list);

/*
 * ecr_get_status: whether the register is ready for work. Returns 0 (state
 * letter "I" or "V", no command running), ERR_REG_IN_ERRORE (out of its
 * operating state, not in setup mode), ERR_REG_NON_DISP (setup mode, busy,
 * or another state letter), or the codes of resolution and transfer.
 * *hst_conn receives the host connection number (not 0 while a host is
 * connected) and *sco_fis 1 for state letter "V"; either may be NULL.
 * On failure inside: ERR_SOCKET_OPEN.
 */
ECR_API int32_t ECR_CALL ecr_get_status(const char* hostname, int32_t* hst_conn, int32_t* sco_fis);

/*
 * ecr_get_status_new: the register's condition as two one-letter texts
 * (buffers of at least ECR_STATUS_BUFSIZE bytes): stato "E" (error), "S"
 * (setup mode), "C" (a command is running) or the register's own state
 * letter ("I", "V", ...); hst_conn "S" while a host connection is active,
 * else "N". Returns 0 whenever the register answered (the condition is in
 * the letters), else the codes of resolution and transfer, with both texts
 * empty. On failure inside: ERR_SOCKET_OPEN.
 */
ECR_API int32_t ECR_CALL ecr_get_status_new(const char* hostname, char* stato, char* hst_conn);

/*
 * Register tables as CSV: ";" between fields, no quoting, a header line,
 * the record number first; written as text (CR LF line ends on Windows).
 *
 * ecr_recv_reparti_all, ecr_recv_plu_all, ecr_recv_clienti_all: fetch the
 * register's departments (REPARTI.BIN), articles (PLU.BIN) or customers
 * (CLIENTI.BIN) inside setup mode (the register ends in the mode it was
 * found in) and write every record to the CSV filename; the _mod variants
 * write only the records marked as changed on the register. Customers
 * without a VAT number are never written. filename is deleted first, and a
 * CSV without rows is not left behind. Return the number of rows (0 or
 * more), or the codes of resolution, status (ERR_REG_NON_DISP when the
 * register is not free), transfer, ERR_INVALID_FILESIZE (a table of the
 * wrong size) and ERR_FILE_CREATION; ECR_ERR_PARAMETRI, before anything is
 * deleted or fetched, when filename is the temporary table itself (the
 * table's name in the temporary directory). On failure inside:
 * ERR_FILE_CREATION.
 */
ECR_API int32_t ECR_CALL ecr_recv_reparti_all(const char* hostname, const char* filename);
ECR_API int32_t ECR_CALL ecr_recv_reparti_mod(const char* hostname, const char* filename);
ECR_API int32_t ECR_CALL ecr_recv_plu_all(const char* hostname, const char* filename);
ECR_API int32_t ECR_CALL ecr_recv_plu_mod(const char* hostname, const char* filename);
ECR_API int32_t ECR_CALL ecr_recv_clienti_all(const char* hostname, const char* filename);
ECR_API int32_t ECR_CALL ecr_recv_clienti_mod(const char* hostname, const char* filename);

/*
 * ecr_conv_reparti_csv, ecr_conv_plu_csv, ecr_conv_clienti_csv: convert a
 * table file already on disk (filename_bin, of exactly 4000, 6400000 or
 * 256000 bytes) into the CSV filename_csv; all not 0 writes every record,
 * 0 only the changed ones. Return the number of rows (a CSV without rows is
 * deleted), ERR_FILE_NOT_FOUND, ERR_INVALID_FILESIZE or ERR_FILE_CREATION;
 * ECR_ERR_PARAMETRI, touching neither file, when filename_bin and
 * filename_csv are the same path or (both existing) the same file by another
 * spelling. On failure inside: ERR_FILE_CREATION.
 */
ECR_API int32_t ECR_CALL ecr_conv_reparti_csv(const char* filename_bin, const char* filename_csv,
                                              int32_t all);
ECR_API int32_t ECR_CALL ecr_conv_plu_csv(const char* filename_bin, const char* filename_csv,
                                          int32_t all);
ECR_API int32_t ECR_CALL ecr_conv_clienti_csv(const char* filename_bin, const char* filename_csv,
                                              int32_t all);

/*
 * ecr_send_reparti, ecr_send_plu: build the register's whole department or
 * article table from the CSV filename (the layout the downloads write; the
 * header line is skipped) on default records ("REPARTO n", "PLU n"), and put
 * it inside setup mode. Lines with the wrong number of fields or an id out
 * of range are skipped; out-of-range values are clamped; an empty field
 * keeps the default. ecr_send_clienti merges the CSV into the register's
 * current customers (an empty field keeps the stored value). A line holds
 * at most 1022 characters besides its LF or CR LF; longer lines are skipped
 * whole (traced with ECR_TRCCSV like any line, with count 0). A NUL byte
 * ends the text of its line. Return the number of lines applied,
 * ERR_FILE_NOT_FOUND (a CSV that is missing or cannot be read, also a
 * directory or a read error part-way: then nothing is put, and a customer
 * upload reads nothing from the register), ERR_FILE_CREATION,
 * ERR_INVALID_FILESIZE, or the codes of resolution, status and transfer.
 * On failure inside: ERR_FILE_CREATION.
 */
ECR_API int32_t ECR_CALL ecr_send_reparti(const char* hostname, const char* filename);
ECR_API int32_t ECR_CALL ecr_send_plu(const char* hostname, const char* filename);
ECR_API int32_t ECR_CALL ecr_send_clienti(const char* hostname, const char* filename);

/*
 * ecr_recv_fatture: fetches the register's invoices (FATTURE.BIN) inside
 * setup mode and writes one CSV line per issued document to filename:
 * id_fattura;tipo_fattura;id_cliente;data_tempo;importo;imponibile;imposta;
 * credito, the type by name ("fattura_gestionale", "ricevuta_fiscale",
 * "fattura_con_scontr", "fattura_mensile", or 0xNN) and the time as
 * dd/mm/yy-hh:mm:ss. Returns the number of rows (a CSV without rows is not
 * left behind), or the codes of resolution, status, transfer,
 * ERR_INVALID_FILESIZE and ERR_FILE_CREATION. On failure inside:
 * ERR_FILE_CREATION.
 */
ECR_API int32_t ECR_CALL ecr_recv_fatture(const char* hostname, const char* filename);

/*
 * Raw line channels: text to the register and bytes back, over TCP or a
 * serial port. The text (the register's line protocol) is the caller's; the
 * channels move bytes. Every call writes a begin and an end line to the trace.
 *
 * Network channel (TCP port 1723, or ECR_LINE_PORT):
 *
 * ecr_conn_xonxoff_ntw: checks that the register hostname is ready (as
 * ecr_get_status) and serves no host connection yet, then connects, waiting
 * at most 10 s for the register to take the connection. Returns the socket
 * id (0 or more), which the caller passes to the calls below and releases
 * with ecr_disc_xonxoff_ntw; or the codes of resolution, transfer and status
 * (ERR_REG_IN_ERRORE, ERR_REG_NON_DISP), ERR_CONNECT_GIA_IN_CORSO (a host
 * connection is active), ERR_SOCKET_LIBRARY (no socket) or
 * ERR_CONNECT_FAILED (refused, or not taken within the 10 s). A successful
 * connect to a first-generation register (version "V1.", no release name)
 * makes the digit answers below count for every open channel.
 *
 * The library remembers the ids its connect opened. The send, receive and
 * file calls give ERR_CONNECT_CLOSED for any other id (one never opened, or
 * already disconnected) without touching it.
 *
 * ecr_disc_xonxoff_ntw: closes sockid and returns 0. Any id the library's
 * connect did not open, or has already closed, is left alone and still gives
 * 0: a repeated disconnect closes nothing else, even a socket of the host's
 * that has since got the same number.
 *
 * Dropping pending input (before each send, and the receive with buflen 0)
 * stops after 2 s or 1 MiB, whichever comes first, so a register that sends
 * without pause holds the call no longer; the call then goes on as if the
 * input had been dropped.
 *
 * ecr_send_xonxoff_ntw: drops input waiting on the socket, then sends string
 * in pieces of at most 512 bytes, each awaiting the register's answer byte:
 * 0x06 (or "0" on a first-generation register) accepts it; 0x15 ("1")
 * sends it again after 1000 ms, 0x07 ("2") after 100 ms; other bytes are
 * skipped. Returns 0; ERR_CONNECT_CLOSED when a piece or its answer cannot
 * be moved (the rest is not sent; also for an id that is not connected);
 * ERR_TIMEOUT when no answer comes within 60 s of a piece (stray bytes do
 * not extend this), when a piece is refused more than 120 times in a row,
 * or when the register takes no bytes for 60 s; ECR_ERR_PARAMETRI for a
 * NULL string. An empty string sends nothing and returns 0.
 *
 * ecr_recv_xonxoff_ntw: reads from sockid into bufptr by the sign of buflen:
 * 0 drops pending input and returns 0; more than 0 returns after the first
 * read that brings data (at most buflen bytes); less than 0 collects exactly
 * -buflen bytes. Each empty second counts one wait; numsec waits (0 or less:
 * no limit) end the call with 0, and in fill mode the bytes already stored
 * are then not reported. numsec bounds silence, not the call: seconds that
 * bring data do not count, so a register that sends one byte a second makes
 * a fill of N bytes last about N seconds (a caller that needs a hard limit
 * receives in first-data mode and keeps its own clock). Every tenth empty
 * wait asks the register (INFO) whether it still serves a host. Returns the
 * number of bytes stored (not NUL-terminated), 0, ERR_CONNECT_CLOSED (the
 * register closed, or no longer reports the connection: bytes stored are
 * dropped), ERR_TIMEOUT (the check got no answer), ECR_ERR_PARAMETRI (NULL
 * bufptr with buflen not 0). Where a receive gives up the connection it
 * shuts it down; the id stays the caller's until ecr_disc_xonxoff_ntw, so
 * it is never reused meanwhile.
 *
 * ecr_file_xonxoff_ntw: sends the file filename as text in blocks of 1024
 * bytes, each through ecr_send_xonxoff_ntw (a NUL byte ends its block's
 * text). Returns 0 or the first failing block's result; ERR_FILE_NOT_FOUND
 * when the file is missing, cannot be opened or cannot be read to its end;
 * ERR_INVALID_FILESIZE when it is empty (nothing is sent).
 *
 * On failure inside: ERR_CONNECT_FAILED from connect, ERR_CONNECT_CLOSED
 * from disconnect, send and receive, ERR_FILE_NOT_FOUND from the file send.
 */
ECR_API int32_t ECR_CALL ecr_conn_xonxoff_ntw(const char* hostname);
ECR_API int32_t ECR_CALL ecr_disc_xonxoff_ntw(int32_t sockid);
ECR_API int32_t ECR_CALL ecr_send_xonxoff_ntw(int32_t sockid, const char* string);
ECR_API int32_t ECR_CALL ecr_recv_xonxoff_ntw(int32_t sockid, char* bufptr, int32_t buflen,
                                              int32_t numsec);
ECR_API int32_t ECR_CALL ecr_file_xonxoff_ntw(int32_t sockid, const char* filename);

/*
 * Serial channel. Port n (1 to 255) is COMn: the device named by the
 * environment variable ECR_COM<n> when set (for example ECR_COM3=/dev/pts/7),
 * else /dev/ttyS<n-1> on POSIX and "\\.\COMn" on Windows. The line is 8 data
 * bits, no parity, 1 stop bit, no flow control, raw; the port is opened for
 * exclusive use. Buffer size of ecr_enum_port_ser: ECR_PORT_LIST_BUFSIZE.
 *
 * ecr_enum_port_ser: writes the numbers of the first ten ports present into
 * string, ascending, "," between them ("1,3,4"; empty for none) and returns
 * how many. A port is present when its device opens, or exists but is in use
 * or not accessible (POSIX: EACCES, EPERM, EBUSY or held by another open of
 * this library; Windows: access denied, sharing violation, semaphore
 * time-out, general failure). ECR_ERR_PARAMETRI for a NULL string.
 *
 * ecr_conn_xonxoff_ser: opens port at the speed of baud (0 4800, 1 9600,
 * 2 19200, 3 38400, 4 57600, 5 115200) and sets echo mode when echo is not 0
 * (the last connect decides it for every port). A port already open is
 * opened again. Returns 0, ECR_ERR_BAUD_NOT_VALID (nothing opened) or
 * ECR_ERR_PORT_NOT_VALID (the port cannot be opened or set up; closed).
 *
 * ecr_disc_xonxoff_ser: waits until written output has gone (at most its
 * time at the line speed plus 5 s), closes port and returns 0.
 *
 * ecr_send_xonxoff_ser: without echo, drops unread input and writes string
 * in one write; with echo, writes it byte by byte and reads until each
 * byte's echo comes back (other bytes are dropped). Returns 0, ERR_TIMEOUT
 * (an echo not back within 3 s; or a write not done within its time at the
 * line speed plus 5 s, whose output is then dropped), ECR_ERR_PORT_NOT_VALID
 * (the port failed and is closed, or is not open), ECR_ERR_PARAMETRI (NULL).
 *
 * ecr_recv_xonxoff_ser: as ecr_recv_xonxoff_ntw with buflen's three modes;
 * one read waits at most 3 s, and numsec empty reads (0 or less: no limit,
 * the call waits until data comes or the port fails) end the call with 0.
 * Returns the number of bytes stored, 0, ECR_ERR_PORT_NOT_VALID (the port
 * failed and is closed, or is not open) or ECR_ERR_PARAMETRI.
 *
 * ecr_file_xonxoff_ser: as ecr_file_xonxoff_ntw, through ecr_send_xonxoff_ser.
 *
 * On failure inside: ECR_ERR_PORT_NOT_VALID, and ERR_FILE_NOT_FOUND from the
 * file send.
 */
#define ECR_PORT_LIST_BUFSIZE 40
ECR_API int32_t ECR_CALL ecr_enum_port_ser(char* string);
ECR_API int32_t ECR_CALL ecr_conn_xonxoff_ser(int32_t port, int32_t baud, int32_t echo);
ECR_API int32_t ECR_CALL ecr_disc_xonxoff_ser(int32_t port);
ECR_API int32_t ECR_CALL ecr_send_xonxoff_ser(int32_t port, const char* string);
ECR_API int32_t ECR_CALL ecr_recv_xonxoff_ser(int32_t port, char* bufptr, int32_t buflen,
                                              int32_t numsec);
ECR_API int32_t ECR_CALL ecr_file_xonxoff_ser(int32_t port, const char* filename);

/*
 * Firmware release. A release file is a register image of 4 to 516096 bytes
 * (a multiple of 4) whose last four bytes are the CRC-32 (IEEE 802.3,
 * little-endian) of the rest; it carries its release text "NAME VERSION" at
 * offset 65544 and its bitmap type ("L" or "S") at 65540.
 *
 * The three functions write NUL-terminated texts into caller's buffers of
 * ECR_REL_TEXT_BUFSIZE bytes for name and versione and ECR_REL_BITMAP_BUFSIZE
 * bytes for tipo_bitmap, and never more: a longer text reported by a
 * register is cut to 63 characters (tipo_bitmap to 1). After any failure
 * all three are empty; a NULL among them gives ECR_ERR_PARAMETRI.
 */
#define ECR_REL_TEXT_BUFSIZE 64
#define ECR_REL_BITMAP_BUFSIZE 2

/*
 * ecr_rel_info_file: the release identity of the file filename: the name
 * (the release text up to its first blank), the version (the rest, further
 * blanks included; either may be empty) and the bitmap type. Returns 0;
 * ERR_FILE_NOT_FOUND when the file does not exist; ECR_ERR_REL_FILE_NOT_VALID
 * when its size is out of range, its CRC does not match, it has no image
 * mark, its release text is empty or has no blank, its bitmap type is not
 * "L" or "S", and also when it exists but cannot be read.
 * On failure inside: ECR_ERR_REL_FILE_NOT_VALID.
 */
ECR_API int32_t ECR_CALL ecr_rel_info_file(const char* filename, char* name, char* versione,
                                           char* tipo_bitmap);

/*
 * ecr_rel_info_cassa: the release identity the register hostname reports in
 * its INFO answer (release name, version and bitmap type). Empty values are
 * passed on as they are: a register that reports no release name gives 0
 * and an empty name. Returns 0, the codes of host resolution and of the
 * transfer, or ERR_FILE_CREATION when a local file cannot be made.
 * On failure inside: ERR_FILE_CREATION.
 */
ECR_API int32_t ECR_CALL ecr_rel_info_cassa(const char* hostname, char* name, char* versione,
                                            char* tipo_bitmap);

/*
 * ecr_rel_update: checks the release file filename (as ecr_rel_info_file),
 * asks the register hostname for its release, and when the release names
 * agree exactly (letter case counts; versions and bitmap types may differ)
 * puts the file to the register as NAME.BIN by TFTP, entering setup mode
 * first unless the register is in it already. The register stays in setup
 * mode afterwards: no "SETUP 0" is sent; installing and restarting are the
 * register's. A work copy NAME.BIN is made in the temporary directory and
 * removed before the call returns, whatever the outcome; the bytes copied
 * are checked again: a file changed after its check goes only if it
 * passes again with the same identity (else ECR_ERR_REL_FILE_NOT_VALID, or
 * ERR_FILE_CREATION when it can no longer be read).
 * Returns 0 when the register took the file; the results of
 * ecr_rel_info_file; ECR_ERR_REL_CASSA_NOT_SUPP when the register reports an
 * empty release name, version or bitmap type; ECR_ERR_REL_FILE_NOT_CASSA
 * when the names differ; ECR_ERR_REL_FILE_NOT_VALID as well when NAME.BIN
 * is, in any letter case, one of ecr_files_list (a release named PLU would
 * overwrite the article table); nothing is sent to the register then;
 * ERR_FILE_CREATION when the work copy cannot be
 * made (also for a release name that holds "/", "\", ":" or a control
 * character, or is "." or ".."); ERR_REG_NON_DISP when the register is not
 * free (see ecr_get_status_new); and the codes of host resolution, of
 * "SETUP 1" and of the transfer. On failure inside: ERR_FILE_CREATION.
 */
ECR_API int32_t ECR_CALL ecr_rel_update(const char* filename, const char* hostname);

/*
 * Sales as CSV, into the folder dirname (a separator is put between it and
 * each name; an empty dirname is the current folder, and a NULL one gives
 * ECR_ERR_PARAMETRI before anything is done). Each day with
 * sales gives VEND_REP_ddmmyy.CSV (departments: the department columns with
 * the record's own department number, iva_descr;iva_aliquota, then
 * totale_reparto;totale_qt_rep;totale_sconto_rep;totale_reso_storno;
 * tot_qt_reso_storno) and VEND_PLU_ddmmyy.CSV (articles: the article columns,
 * the two VAT columns, totale_plu;totale_qt_plu;totale_sconto_plu;
 * totale_reso_storno;tot_qt_reso_storno), named after the date inside the
 * day's sales file (999999 for a date outside 2000..2099); a day without
 * departments or without articles has no file of that kind. Both functions
 * first delete every file of dirname named VEND_???_??????.CSV (sub-folders
 * and other files stay), and delete them again after any failure, so the
 * folder never holds a partial result. The register is put into setup mode
 * for the call unless it was in it, and is returned to its former mode only
 * when the call succeeds.
 *
 * A sales file whose header does not fit its size (sections that are not
 * whole 512-byte blocks or reach past the end of the file, counts larger than
 * their sections hold) gives ERR_INVALID_FILESIZE and no CSV of that day: no
 * row is ever read from past the end of the file.
 *
 * ecr_recv_vend_corrente: asks the register for the current day's sales
 * ("VENDCORR"), waits while it is busy (polling every 5000 ms, for at most
 * 10 minutes) and converts them. Returns 1 when CSV files were written, 0
 * when the register has no sales (no CSV): its summary counts none, or the
 * day's sales file itself counts no records although the summary counted
 * some. Otherwise the codes of resolution, status
 * (ERR_REG_NON_DISP when not free), command and transfer,
 * ERR_INVALID_FILESIZE (a summary not of 512 bytes, or a sales file that does
 * not fit its header), ERR_REG_IN_ERRORE (the summary's error flag; the
 * register stays in setup mode when the call put it there) or
 * ERR_FILE_CREATION (a CSV cannot be created or written).
 *
 * ecr_recv_vend_storico: fetches the archived sales file of each day from
 * from_day/from_month/from_year to to_day/to_month/to_year inclusive (years
 * 0..99 for 2000..2099) and converts each one. A day the register has no
 * file for (it answers the request with TFTP error 1, "file not found",
 * before sending any of the file) is skipped; any other failure of a day's
 * transfer (broken off, the register silent, other refusals) fails the whole
 * call with the transfer's code (ERR_TRANSFER_FAILED, ERR_TIMEOUT, ...). A
 * day file whose date is not the day asked for (any time of that day will
 * do), or is not a valid date, fails the call with ERR_REG_IN_ERRORE, as the
 * CSV names come from that date and two such days would write the same
 * files. Returns the number of days whose CSV files were written (0 or
 * more): a day file that counts no records writes none and is not counted.
 * Otherwise ECR_ERR_PARAMETRI for a date that is not valid (a negative year included)
 * or a first date after the second, or the codes listed above. The whole
 * range 1/1/00 to 31/12/99 is 36525 requests.
 *
 * On failure inside: ERR_FILE_CREATION, from both functions.
 */
ECR_API int32_t ECR_CALL ecr_recv_vend_corrente(const char* hostname, const char* dirname);
ECR_API int32_t ECR_CALL ecr_recv_vend_storico(const char* hostname, const char* dirname,
                                               int32_t from_day, int32_t from_month,
                                               int32_t from_year, int32_t to_day, int32_t to_month,
                                               int32_t to_year);

/*
 * Register clock codes. An oro value is the register's packed date and time:
 * unsigned seconds since 01/01/1970 00:00:00 on the register's own wall
 * clock (no time zone, no daylight saving), valid from 946684800
 * (01/01/2000 00:00:00) to 4102444799 (31/12/2099 23:59:59). From 2038 on it
 * reads negative as a signed number; compare oro values unsigned. Years are
 * two digits, 00..99 for 2000..2099. These functions only compute: they touch
 * no file or register and write no trace lines. On failure inside:
 * 0xFFFFFFFF for the functions returning an oro value, -1 for
 * ecr_oro_2struct and ecr_oro_check, NULL for ecr_oro_encode (no such
 * failure is known).
 */

/* Bytes of the records and of the text below. */
#define ECR_ORO_BYTES_SIZE 6
#define ECR_ORO_STRUCT_SIZE 10
#define ECR_ORO_TEXT_BUFSIZE 26

/*
 * ecr_oro_2long: the oro value of the 6-byte record oro_bytes (day of month,
 * month, two-digit year, hour, minute, second, one unsigned byte each). The
 * fields are not checked and add up linearly in wrapping 32-bit arithmetic:
 * day 0 is the last day of the month before, hour 24 midnight of the next
 * day, and a month beyond 1..12 counts on from the year given (month 0 is
 * December of the year before, month 13 January of the year after). Returns
 * 0xFFFFFFFF, outside the valid values, when oro_bytes is NULL.
 */
ECR_API uint32_t ECR_CALL ecr_oro_2long(const unsigned char* oro_bytes);

/*
 * ecr_oro_2struct: splits oro into the caller's 10-byte record oro_struct:
 * bytes 0..5 day of month, month, two-digit year, hour, minute, second;
 * byte 6 weekday (1 = Monday .. 7 = Sunday); byte 7 is not written; bytes
 * 8..9 the day of the year (1..366), little-endian. Returns 0; -1 when oro is
 * outside the valid values, with the six date and time bytes 99, weekday 1
 * and day of the year 999; -1 without writing when oro_struct is NULL.
 */
ECR_API int32_t ECR_CALL ecr_oro_2struct(uint32_t oro, unsigned char* oro_struct);

/*
 * ecr_oro_check: 0 when the fields make a valid date and time (year at most
 * 99, month 1..12, day within its month with 29 February in years divisible
 * by 4, hour at most 23, minute and second at most 59), else -1. Year, hour,
 * minute and second have no lower bound: negative values pass.
 */
ECR_API int32_t ECR_CALL ecr_oro_check(int32_t day, int32_t month, int32_t year, int32_t hour,
                                       int32_t minute, int32_t second);

/*
 * ecr_oro_encode: writes oro as "dd/mm/yy-hh:mm:ss-[ddd-w]" (day of the year
 * and weekday in brackets, 25 characters) into text (at least
 * ECR_ORO_TEXT_BUFSIZE bytes) and returns text; an oro value outside the
 * valid ones writes "99/99/99-99:99:99-[999-1]". Returns NULL for a NULL text.
 */
ECR_API char* ECR_CALL ecr_oro_encode(uint32_t oro, char* text);

/*
 * ecr_oro_decode, ecr_date_decode, ecr_dates_decode, ecr_time_decode,
 * ecr_times_decode: the oro value (as ecr_oro_2long computes it) of the
 * fields given, of which only the low 8 bits count. Nothing is checked. A
 * field not taken is 0, except day and month of the time decodes, which are 1:
 * ecr_date_decode gives 00:00:00 of its date, ecr_dates_decode 00:00:00 of
 * its day and month in 2000, ecr_time_decode and ecr_times_decode (second 0)
 * the time of 01/01/2000.
 */
ECR_API uint32_t ECR_CALL ecr_oro_decode(int32_t day, int32_t month, int32_t year, int32_t hour,
                                         int32_t minute, int32_t second);
ECR_API uint32_t ECR_CALL ecr_date_decode(int32_t day, int32_t month, int32_t year);
ECR_API uint32_t ECR_CALL ecr_dates_decode(int32_t day, int32_t month);
ECR_API uint32_t ECR_CALL ecr_time_decode(int32_t hour, int32_t minute, int32_t second);
ECR_API uint32_t ECR_CALL ecr_times_decode(int32_t hour, int32_t minute);

/*
 * Backups. An archive is one file of 7059616 bytes: the register's INFO
 * answer as a 512-byte header, its twelve data files (INTESTAZIONE.BIN,
 * CORTESIA.BIN, REPARTI.BIN, IVA.BIN, VAL.BIN, OPERATORI.BIN,
 * PROG_PARAM.BIN, LOGO.BIN, BITMAP.BIN, CLIENTI.BIN, PLU.BIN, TAV_MIN.BIN)
 * at fixed offsets, always in the full current layout, and the CRC-32 of
 * all that, little-endian. Member files are staged in the temporary
 * directory and removed from it afterwards; do not run two of these calls,
 * or another table transfer, at the same time.
 *
 * ecr_dati_save: fetches the twelve files from the register hostname inside
 * setup mode and writes the archive filename. An old register (version
 * "V1.", no release name) has its departments, parameters, customers and
 * articles upgraded and a TAV_MIN.BIN made ("TAVOLO 1".."TAVOLO 200"); a
 * register of bitmap type "S" has its header, courtesy and bitmap files
 * expanded. "SETUP 0" is sent after the fetches (also when the register was
 * in setup mode before) unless a transfer failed.
 *  - The archive is written as "<filename>.part" and renamed over filename
 *    only when it is complete: a save that fails leaves an earlier archive
 *    of that name as it was.
 *  - No archive is made unless every member, after the conversions, has
 *    exactly its size in the archive: a member that did not convert gives
 *    ERR_INVALID_FILESIZE (ERR_FILE_NOT_FOUND when missing) and no file.
 *    A failed header write stops the save with ERR_FILE_CREATION.
 *  - REPARTI.TMP, CLIENTI.TMP and PLU.TMP left in the temporary directory
 *    by an earlier broken upgrade are removed before the fetches.
 *  - Old-layout texts are copied into their new fields bounded by both the
 *    old and the new field width (a customer's 52-character text lands on
 *    the 12-byte VAT number field, an article's 17-byte code on 14 bytes).
 *  - A member an old register already sends in the current size is kept as
 *    it is, not read as old records (PROG_PARAM.BIN included).
 *  - Likewise a register of bitmap type "S" that sends INTESTAZIONE.BIN,
 *    CORTESIA.BIN or BITMAP.BIN in the full layout has that member kept as
 *    it is; a member of either layout's size is never replaced by zeros,
 *    and any other size gives ERR_INVALID_FILESIZE.
 *  - A bitmap row count above 400 is taken as 400.
 * Returns 0; ECR_ERR_DATI_CASSA_NOT_SUPP (a register neither current nor
 * old; no setup command is sent); ERR_INVALID_FILESIZE (a fetched file of a
 * size its member does not have); ERR_FILE_CREATION; ECR_ERR_PARAMETRI
 * (filename NULL or empty); the codes of resolution, status
 * (ERR_REG_NON_DISP when the register is not free), setup commands and
 * transfers. On failure inside: ERR_FILE_CREATION.
 *
 * ecr_dati_restore: validates and unpacks the archive filename into the
 * temporary directory (through ecr_dati_extract, which also makes the three
 * CSV files there), then puts the twelve files to the register hostname
 * inside setup mode, reduced to the short layout for a register of bitmap
 * type "S" (before setup mode is entered: a member that cannot be reduced
 * fails the restore with the register untouched), and sends "SETUP 0" when
 * every put succeeded. Only registers
 * with a release name are restored to; the archive's header is not
 * compared with them. Returns 0, ECR_ERR_DATI_CASSA_NOT_SUPP, the codes of
 * ecr_dati_extract, resolution, status, setup commands and transfers.
 * On failure inside: ERR_FILE_CREATION.
 *
 * ecr_dati_extract: removes the member and CSV files of an earlier
 * extraction from the existing directory dirname (an empty text is the
 * current directory, as for the sales calls), validates the archive
 * filename and writes its twelve member files there with REPARTI.CSV,
 * PLU.CSV and CLIENTI.CSV (as ecr_conv_*_csv write them, all records). A
 * failed extraction leaves no member or CSV file of its own; when files of
 * an earlier extraction cannot be removed (a directory that is not
 * writable), nothing is written and they stay as they were, with
 * ERR_FILE_CREATION. Returns 0, ERR_FILE_NOT_FOUND (no archive),
 * ECR_ERR_DATI_FILE_NOT_VALID (wrong size or CRC), ERR_FILE_CREATION, the
 * codes of the CSV converters, or ECR_ERR_PARAMETRI for a NULL argument.
 * On failure inside: ERR_FILE_CREATION.
 *
 * ecr_dati_info: copies the 512 header bytes of the archive filename into
 * info_org (at least ECR_DATI_INFO_BUFSIZE bytes, required) and a NUL after
 * them. When info_mod (at least ECR_DATI_INFO_BUFSIZE bytes) and var_list
 * (ECR_INFO_VARS entries) are both given, the header is split as ecr_get_info splits
 * an answer; info_mod never receives more than ECR_DATI_INFO_BUFSIZE bytes,
 * so a header of 512 characters without a NUL is split as its first 511.
 * On any failure info_org and info_mod are empty texts and all ECR_INFO_VARS
 * entries point at an empty text. Returns 0, ERR_FILE_NOT_FOUND,
 * ECR_ERR_DATI_FILE_NOT_VALID, or ECR_ERR_PARAMETRI (info_org or filename
 * NULL). On failure inside: ECR_ERR_DATI_FILE_NOT_VALID.
 */
#define ECR_DATI_INFO_BUFSIZE 513
ECR_API int32_t ECR_CALL ecr_dati_save(const char* filename, const char* hostname);
ECR_API int32_t ECR_CALL ecr_dati_restore(const char* filename, const char* hostname);
ECR_API int32_t ECR_CALL ecr_dati_extract(const char* filename, const char* dirname);
ECR_API int32_t ECR_CALL ecr_dati_info(const char* filename, char* info_org, char* info_mod,
                                       char** var_list);

#ifdef __cplusplus
}
#endif

#endif /* VELTRA_H */
