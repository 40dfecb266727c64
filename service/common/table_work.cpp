#include "common/table_work.hpp"

namespace kov {

std::mutex& table_work_mutex()
{
    static std::mutex* const mutex = new std::mutex; // never destroyed: workers may run at exit
    return *mutex;
}

} // namespace kov
