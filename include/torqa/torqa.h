// The whole public interface of the binding.
#pragma once

#include <torqa/cache.h>
#include <torqa/call.h>
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
#include <torqa/proxy.h>
#include <torqa/query.h>
#include <torqa/rows.h>
#include <torqa/session.h>
#include <torqa/streams.h>
#include <torqa/text16.h>
#include <torqa/transaction.h>
#include <torqa/types.h>
