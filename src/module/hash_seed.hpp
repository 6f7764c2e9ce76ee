// Python's PYTHONHASHSEED setting, applied to the hash keys of the attribute maps.
#pragma once

namespace brindxml {

// When PYTHONHASHSEED is an integer (and the interpreter reads the
// environment), seeds the maps' hash keys from it, so attribute order is the
// same on every run of a program; unset, empty or "random" leaves them random.
// False with an exception set on failure.
bool apply_hash_seed_setting() noexcept;

}  // namespace brindxml
