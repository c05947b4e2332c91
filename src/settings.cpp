#include "settings.h"

char configfile[256] = "";
char sectionfile[256] = "";
char logfile[256] = "";
char slogfile[256] = "";
char elogfile[256] = "";
// The default paths follow the install layout the build was configured with.
char plogfile[512] = KORVANTEL_DEFAULT_PLOGFILE;
int loglevel = 0x7FFFFFF;
int daemonize = 1;
char proxyhost[256] = "";
char listenip[16] = "";
int listenport = 0;
char masterhost[256] = "";
int masterport = 0;
char masteruser[256] = "";
char masterpassword[256] = "";
int slave = 0;
char syncsections[256] = "";
char nosyncsections[256] = "";
int syncinterval = 60;
char moduledir[256] = KORVANTEL_DEFAULT_MODULEDIR;
char ntlmsockdir[256] = "/var/run/httpauthd/";
char pidfile[256] = "";
char username[256] = "";
char group[256] = "";
char pamfile[256] = "korvantel";
int password_cachesize = 100;
int password_cachexpire = 600;
int authflag = 0;
int MAXTHREADS = MAX_THREAD_SLOTS;
int max_opt_stack = 1048576;
int THREAD_TIMEOUT = 1;
int CLIENT_POOL_TIMEOUT = 1;
int overload_factor = 1;
int SND_BUF = 0;
int RCV_BUF = 0;
int BLOCKSIZE = 8192;
int TCP_KEEPIDLE_TIME = 0;
int TCP_KEEPINTVL_TIME = 0;
int TCP_KEEPCNT_COUNTS = 0;

int get_my_release_build() { return RELEASE_BUILD; }
