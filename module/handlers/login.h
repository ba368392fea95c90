/*
 * login.h - what the module keeps about logins beyond auth_user (an export,
 * declared in netserver.h): the record of failed logins per address.
 */
#ifndef NETSERVER_COMMAND_LOGIN_H
#define NETSERVER_COMMAND_LOGIN_H

/* Forgets every address's failed logins. Called when the server starts, so
 * that a restart begins with no address slowed. */
void login_throttle_reset();

#endif
