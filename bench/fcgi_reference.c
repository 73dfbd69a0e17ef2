/* The reference responder for the nginx benchmark, on the packaged FastCGI library: the same answers as the
 * test responder's /size (QUERY_STRING "n=<count>"), on port 9001. */
#include <fcgiapp.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
    static char const pattern[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
    FCGX_Request request;
    if (FCGX_Init() != 0)
        return 1;
    int listener = FCGX_OpenSocket(":9001", 10);
    if (listener < 0)
        return 1;
    FCGX_InitRequest(&request, listener, 0);
    while (FCGX_Accept_r(&request) >= 0) {
        char const* query = FCGX_GetParam("QUERY_STRING", request.envp);
        unsigned long size = query && strncmp(query, "n=", 2) == 0 ? strtoul(query + 2, NULL, 10) : 0;
        FCGX_PutS("Content-type: text/plain\r\n\r\n", request.out);
        char piece[1000];
        for (unsigned long done = 0; done < size;) {
            unsigned long count = size - done < sizeof piece ? size - done : sizeof piece;
            for (unsigned long i = 0; i < count; ++i)
                piece[i] = pattern[(done + i) % 64];
            FCGX_PutStr(piece, (int)count, request.out);
            done += count;
        }
        FCGX_Finish_r(&request);
    }
    return 0;
}
