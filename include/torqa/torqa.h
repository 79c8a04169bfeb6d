// The whole public interface of the binding.
#pragma once

#include <torqa/cache.h>
#include <torqa/collections.h>
#include <torqa/connection.h>
#include <torqa/conversions.h>
#include <torqa/datetime.h>
#include <torqa/dynamic.h>
#include <torqa/errors.h>
#include <torqa/list.h>
#include <torqa/message_streams.h>
#include <torqa/metadata.h>
#include <torqa/names.h>
#include <torqa/objects.h>
#include <torqa/output.h>
#include <torqa/query.h>
#include <torqa/session.h>
#include <torqa/streams.h>
#include <torqa/types.h>
