// The bridge every varkit extension module uses to behave like a Python module.
#pragma once

#include "varkit/host/errors.hpp"
#include "varkit/host/globals.hpp"
#include "varkit/host/module.hpp"
#include "varkit/host/output.hpp"
#include "varkit/host/strings.hpp"
#include "varkit/host/text.hpp"
#include "varkit/host/unthrown.hpp"
#include "varkit/host/values.hpp"
