#pragma once
// The FUSE init operation of the mount: which kernel capabilities the service asks for.

#include "fs/fuse_api.hpp"

namespace kov {

void op_init(void* userdata, fuse_conn_info* conn) noexcept;

} // namespace kov
