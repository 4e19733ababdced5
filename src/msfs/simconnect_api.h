// The SimConnect entry points the feed calls (seven, and one for traffic), and the parts of a
// SimConnect message it reads. The library is loaded at run time; nothing here
// comes from its SDK. Every function returns a status: negative means failure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrik {

// A connection; null means "none".
using SimConnectHandle = void*;

using SimConnectOpenFn = std::int32_t (*)(SimConnectHandle* handle, const char* client_name, void* window,
                                          std::uint32_t window_message, void* event_handle,
                                          std::uint32_t configuration_index);
using SimConnectCloseFn = std::int32_t (*)(SimConnectHandle handle);
using SimConnectAddToDataDefinitionFn = std::int32_t (*)(SimConnectHandle handle, std::uint32_t definition_id,
                                                         const char* variable_name, const char* unit_name,
                                                         std::uint32_t data_type, float epsilon,
                                                         std::uint32_t datum_id);
using SimConnectRequestDataOnSimObjectFn = std::int32_t (*)(SimConnectHandle handle, std::uint32_t request_id,
                                                            std::uint32_t definition_id, std::uint32_t object_id,
                                                            std::uint32_t period, std::uint32_t flags,
                                                            std::uint32_t origin, std::uint32_t interval,
                                                            std::uint32_t limit);
// On success with a non-null *message: one message of *size bytes, owned by the
// library and readable until the next call.
// One answer per object of `object_type` within `radius_metres` of the
// user's aircraft, each an object-data-by-type message; asked again for each.
using SimConnectRequestDataOnSimObjectTypeFn = std::int32_t (*)(SimConnectHandle handle, std::uint32_t request_id,
                                                                std::uint32_t definition_id,
                                                                std::uint32_t radius_metres, std::uint32_t object_type);
using SimConnectGetNextDispatchFn = std::int32_t (*)(SimConnectHandle handle, void** message, std::uint32_t* size);
// Event messages (MESSAGE_ID_EVENT) with `event_id` follow each time the named system event happens.
using SimConnectSubscribeToSystemEventFn = std::int32_t (*)(SimConnectHandle handle, std::uint32_t event_id,
                                                            const char* system_event_name);
// One system-state message (MESSAGE_ID_SYSTEM_STATE) for `request_id` answers it.
using SimConnectRequestSystemStateFn = std::int32_t (*)(SimConnectHandle handle, std::uint32_t request_id,
                                                        const char* state_name);

// Resolved from one loaded library, which stays loaded for the whole run.
struct SimConnectApi {
  SimConnectOpenFn open = nullptr;
  SimConnectCloseFn close = nullptr;
  SimConnectAddToDataDefinitionFn add_to_data_definition = nullptr;
  SimConnectRequestDataOnSimObjectFn request_data_on_sim_object = nullptr;
  SimConnectGetNextDispatchFn get_next_dispatch = nullptr;
  SimConnectSubscribeToSystemEventFn subscribe_to_system_event = nullptr;
  SimConnectRequestSystemStateFn request_system_state = nullptr;
  // Not needed for the user's aircraft: a library without it still serves, without traffic.
  SimConnectRequestDataOnSimObjectTypeFn request_data_on_sim_object_type = nullptr;
};

// The exported names, in the order they are resolved.
constexpr const char* SIMCONNECT_OPEN = "SimConnect_Open";
constexpr const char* SIMCONNECT_CLOSE = "SimConnect_Close";
constexpr const char* SIMCONNECT_ADD_TO_DATA_DEFINITION = "SimConnect_AddToDataDefinition";
constexpr const char* SIMCONNECT_REQUEST_DATA_ON_SIM_OBJECT = "SimConnect_RequestDataOnSimObject";
constexpr const char* SIMCONNECT_GET_NEXT_DISPATCH = "SimConnect_GetNextDispatch";
constexpr const char* SIMCONNECT_SUBSCRIBE_TO_SYSTEM_EVENT = "SimConnect_SubscribeToSystemEvent";
constexpr const char* SIMCONNECT_REQUEST_SYSTEM_STATE = "SimConnect_RequestSystemState";
constexpr const char* SIMCONNECT_REQUEST_DATA_ON_SIM_OBJECT_TYPE = "SimConnect_RequestDataOnSimObjectType";

// Values passed to the library.
constexpr std::uint32_t DATA_TYPE_FLOAT64 = 4;
constexpr std::uint32_t UNUSED_DATUM_ID = 0xFFFFFFFF;
constexpr std::uint32_t USER_AIRCRAFT_OBJECT = 0;
constexpr std::uint32_t PERIOD_VISUAL_FRAME = 2;
constexpr std::uint32_t DATA_TYPE_STRING32 = 6;       // 32 bytes, zero-terminated
constexpr std::uint32_t SIMOBJECT_TYPE_AIRCRAFT = 2;  // SIMCONNECT_SIMOBJECT_TYPE_AIRCRAFT

// Message layout, little-endian. Offsets in bytes.
constexpr std::size_t MESSAGE_ID_OFFSET = 8;          // 32-bit message identifier
constexpr std::size_t MESSAGE_REQUEST_OFFSET = 12;    // 32-bit request identifier (object data)
constexpr std::size_t MESSAGE_OBJECT_OFFSET = 16;     // 32-bit object identifier (object data)
constexpr std::size_t MESSAGE_VALUES_OFFSET = 40;     // 64-bit floats, in registration order
constexpr std::size_t MESSAGE_MIN_SIZE = 12;          // shorter messages carry no identifier
constexpr std::size_t MESSAGE_EXCEPTION_OFFSET = 12;  // 32-bit exception code (exception message)
constexpr std::size_t MESSAGE_EXCEPTION_MIN_SIZE = 16;
constexpr std::uint32_t MESSAGE_ID_EXCEPTION = 1;            // the simulator refused a request
constexpr std::uint32_t MESSAGE_ID_QUIT = 3;                 // the simulator is quitting
constexpr std::uint32_t MESSAGE_ID_OBJECT_DATA = 8;          // values for a data request
constexpr std::uint32_t MESSAGE_ID_OBJECT_DATA_BY_TYPE = 9;  // values of one object near the user

// Whether a flight runs: system events and the system state.
constexpr std::uint32_t MESSAGE_ID_EVENT = 4;           // a subscribed event happened
constexpr std::uint32_t MESSAGE_ID_SYSTEM_STATE = 15;   // the answer to a system-state request
constexpr std::size_t MESSAGE_EVENT_ID_OFFSET = 16;     // 32-bit client event identifier (event)
constexpr std::size_t MESSAGE_STATE_VALUE_OFFSET = 16;  // 32-bit integer value (system state)
constexpr std::size_t MESSAGE_EVENT_MIN_SIZE = 20;      // either one, up to the field read

}  // namespace tavrik
