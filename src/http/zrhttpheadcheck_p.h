#ifndef ZRHTTPHEADCHECK_P_H
#define ZRHTTPHEADCHECK_P_H

#include "zrhttpserver.h"

#include <QString>

// How a request's body is to be taken, as its head decides: a maximum, a least rate of arrival
// after the head, and where it goes. Negative sizes and rates leave the server's own.
struct ZRHttpBodyPlan
{
    qint64 maxSize = -1;
    qint64 minimumRate = -1; // bytes a second
    qint64 fileFrom = -1; // a body this large or larger (and every chunked one) goes to a file
    QString directory; // of that file; empty: a private temporary folder
};

// ZRHttpHeadCheck (declared with the server) is what a router judges of each request as soon as
// its head has arrived, on the connection's thread, before any of its body is read: an answer in
// its place (a refusal), or the body's plan.

#endif // ZRHTTPHEADCHECK_P_H
