/*
 * listener.h - the thread that accepts every TCP connection of the server.
 */
#ifndef NETSERVER_COMMAND_LISTENER_H
#define NETSERVER_COMMAND_LISTENER_H

/* Thread entry, no argument. Opens the command port (base) and the data port
 * (base + 1) and accepts on both until the stop clears the running flag and
 * wakes it through the module's wake pipe. A set-up failure ends the thread
 * early; the server then serves nothing. Joined by the stop. */
void* TcpListenThread(void* unused);

#endif
