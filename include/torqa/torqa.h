// The whole public interface of the binding.
#pragma once

#include <torqa/conversions.h>
#include <torqa/datetime.h>
#include <torqa/errors.h>
#include <torqa/list.h>
#include <torqa/names.h>
#include <torqa/output.h>
#include <torqa/streams.h>
#include <torqa/types.h>
