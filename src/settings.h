// Program-wide settings made from the command line at start-up and read by
// every subsystem afterwards; nothing changes them once the daemon runs.
#ifndef KORVANTEL_SETTINGS_H
#define KORVANTEL_SETTINGS_H

#define PRODUCT_NAME "Korvantel"
// The build defines the release: the project version of the package.
#define RELEASE_LABEL "korvantel-" KORVANTEL_RELEASE
#define VERSION "ntlm.RC2.0"
#define RELEASE_BUILD 20091216
#define MAX_THREAD_SLOTS 16384

extern char configfile[256];
extern char sectionfile[256];
extern char logfile[256];
extern char slogfile[256];
extern char elogfile[256];
extern char plogfile[512];
extern int loglevel;
extern int daemonize;
extern char proxyhost[256];
extern char listenip[16];
extern int listenport;
extern char masterhost[256];
extern int masterport;
// -M user:password@host:port: the master's interface login, empty without
extern char masteruser[256];
extern char masterpassword[256];
extern int slave;
extern char syncsections[256];
extern char nosyncsections[256];
extern int syncinterval;
extern char moduledir[256];
extern char ntlmsockdir[256];
extern char pidfile[256];
extern char username[256];
extern char group[256];
extern char pamfile[256];
extern int password_cachesize;
extern int password_cachexpire;
extern int authflag;
extern int MAXTHREADS;
extern int max_opt_stack;
extern int THREAD_TIMEOUT;
extern int CLIENT_POOL_TIMEOUT;
extern int overload_factor;
extern int SND_BUF;
extern int RCV_BUF;
extern int BLOCKSIZE;
extern int TCP_KEEPIDLE_TIME;
extern int TCP_KEEPINTVL_TIME;
extern int TCP_KEEPCNT_COUNTS;

int get_my_release_build();

#endif
