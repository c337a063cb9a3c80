#ifndef ZRNET_GLOBAL_H
#define ZRNET_GLOBAL_H

#include <QtCore/qglobal.h>

#if defined(ZRNET_LIBRARY)
#define ZRNET_EXPORT Q_DECL_EXPORT
#else
#define ZRNET_EXPORT Q_DECL_IMPORT
#endif

// Private classes that the test suite drives directly are exported only in test builds.
#if defined(ZRNET_AUTOTEST)
#define ZRNET_AUTOTEST_EXPORT ZRNET_EXPORT
#else
#define ZRNET_AUTOTEST_EXPORT
#endif

#endif // ZRNET_GLOBAL_H
