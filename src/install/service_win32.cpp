#include "install/service_win32.h"

#include "common/handles.h"
#include "common/text.h"
#include "install/service.h"

bool service_query(char* state, size_t size)
{
    ScHolder scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm.ok())
        return false;
    ScHolder svc(
        OpenServiceA(scm.get(), TG_SERVICE_NAME, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!svc.ok())
        return false;
    SERVICE_STATUS st;
    if (!QueryServiceStatus(svc.get(), &st))
        return false;
    bounded_copy(state, service_state_word(st.dwCurrentState), size < 32 ? size : 32);
    return true;
}
