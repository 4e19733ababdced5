/* A stand-in for SimConnect.dll that plays a script and logs every call.
 *
 * TAVRIK_SIMCONNECT_SCRIPT names the script, read again at every
 * SimConnect_Open; a new script path starts the counters afresh.
 * TAVRIK_SIMCONNECT_LOG names a file to which one line per call is appended.
 *
 * Script lines (words separated by spaces, "#" starts a comment):
 *   open_fail N             the first N opens fail (negative status)
 *   open_null N             the next N opens succeed but leave the handle null
 *   stack KIB               every open uses KIB KiB of the caller's stack, as a
 *                           library with deep calls of its own may
 *   connection              starts what the next connection does; connections
 *                           beyond the last such section repeat the last one
 *   add_fail K              the K-th registration of the connection fails
 *   request_fail            the data request fails
 *   sample v0 v1 ..         one object-data message (request 1) with exactly one
 *                           value per variable the connection registered, in
 *                           order; any other number is a wrong script, not a
 *                           fault of the feed: the step is refused with a
 *                           "ScriptError script=PATH line=N ..." line in the log
 *                           and on standard error, and no message comes
 *   message SIZE ID REQ v0 v1 ..
 *                           a message of SIZE bytes, cut or padded with zeros;
 *                           SIZE "full" is the size of a sample; values not
 *                           given are 0, more than registered are refused
 *   claim N                 the next message's own size field says N (> 0),
 *                           not its real size
 *   quit                    a quit message (12 bytes, identifier 3)
 *   exception CODE [SEND [INDEX]]
 *                           an exception message (SIMCONNECT_RECV_EXCEPTION,
 *                           24 bytes, identifier 1): the exception code, the
 *                           packet it refers to and the parameter's index
 *   none N                  N polls with no message (negative status)
 *   null N                  N polls with status 0 and a null message pointer
 *   stream EVERY v0 v1 ..   from here on a sample at every EVERY-th poll (values
 *                           as for sample)
 *   aircraft OBJECT w0 ..   an aircraft (the user's may be one): each by-type
 *                           request queues a message (identifier 9) for each,
 *                           before the next step; one word per definition-2
 *                           variable, a number or a text as registered
 *   menu, fly               to the menus / into a flight: the "SimStop" /
 *                           "SimStart" event, if subscribed; the "Sim" state
 *                           (asked at the start, 1 then) changes with it
 * After the last step of a connection no message comes any more. */
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

#define MAX_SECTIONS 16
#define MAX_STEPS 64
#define MAX_VALUES 64 /* more than any feed registers */
#define VALUES_OFFSET 40
#define MAX_AIRCRAFT 32
#define MAX_WORD 64

enum StepKind { STEP_MESSAGE, STEP_NONE, STEP_NULL, STEP_STREAM };

typedef struct {
  enum StepKind kind;
  unsigned count; /* polls for none/null, period for stream */
  int full_size;  /* a sample's size, from the variables registered */
  uint32_t size, id, request;
  uint32_t claimed_size; /* written into the message's size field */
  unsigned value_count;  /* values the script gave */
  double values[MAX_VALUES];
  uint32_t send_id, index; /* of an exception message */
  int exact;               /* a sample: one value per variable, no fewer */
  unsigned line;           /* in the script, for its errors */
  int refused;             /* its error was reported */
} Step;

typedef struct {
  uint32_t object;
  unsigned word_count;
  char words[MAX_VALUES][MAX_WORD];
} Aircraft;

typedef struct {
  unsigned add_fail;
  int request_fail;
  unsigned step_count;
  Step steps[MAX_STEPS];
  unsigned aircraft_count;
  Aircraft aircraft[MAX_AIRCRAFT];
} Section;

typedef struct {
  unsigned open_fail, open_null;
  unsigned stack_kib;
  unsigned section_count;
  Section sections[MAX_SECTIONS];
} Script;

static Script script;
static char script_path[1024];
static unsigned opens;       /* calls to SimConnect_Open under this script */
static unsigned connections; /* successful ones; the handle is this number */
static uintptr_t current;    /* the open connection's handle, 0 for none */
static unsigned adds, step_index, step_progress;
static unsigned registered; /* variables the open connection registered for definition 1 */
static unsigned typed;      /* and for definition 2, the by-type answers' */
static uint32_t types[MAX_VALUES];
static unsigned queued, queued_next; /* by-type answers waiting */
static uint32_t queued_request;
static unsigned char* message;
static int claim_pending;
static uint32_t claim;
static unsigned line_number; /* of the script line being read */

static int flying, state_asked;                         /* the "Sim" state; an answer is due */
static uint32_t state_request, start_event, stop_event; /* 0: not subscribed */

static int read_env(const char* name, char* out, size_t size) {
#ifdef _WIN32
  /* The process environment itself: tests change it after the C runtime starts. */
  DWORD n = GetEnvironmentVariableA(name, out, (DWORD)size);
  return n > 0 && n < size;
#else
  const char* value = getenv(name);
  if (!value || strlen(value) >= size) return 0;
  strcpy(out, value);
  return 1;
#endif
}

static void log_line(const char* format, ...) {
  char path[1024];
  if (!read_env("TAVRIK_SIMCONNECT_LOG", path, sizeof path)) return;
  FILE* file = fopen(path, "ab");
  if (!file) return;
  va_list args;
  va_start(args, format);
  vfprintf(file, format, args);
  va_end(args);
  fputc('\n', file);
  fclose(file);
}

/* The next space-separated word at *cursor, or NULL at the end of the line. */
static char* next_word(char** cursor) {
  char* at = *cursor;
  while (*at && strchr(" \t\r\n", *at)) ++at;
  if (!*at) return NULL;
  char* end = at;
  while (*end && !strchr(" \t\r\n", *end)) ++end;
  if (*end) *end++ = '\0';
  *cursor = end;
  return at;
}

static void read_values(char** rest, Step* step) {
  for (char* word; (word = next_word(rest)) && step->value_count < MAX_VALUES;)
    step->values[step->value_count++] = strtod(word, NULL);
}

static unsigned read_number(char** rest) {
  char* word = next_word(rest);
  return word ? (unsigned)strtoul(word, NULL, 10) : 0;
}

static Step* new_step(Section* section, enum StepKind kind) {
  if (!section || section->step_count == MAX_STEPS) return NULL;
  Step* step = &section->steps[section->step_count++];
  memset(step, 0, sizeof *step);
  step->kind = kind;
  step->full_size = 1;
  step->id = 8;
  step->request = 1;
  step->claimed_size = claim_pending ? claim : 0;
  step->line = line_number;
  claim_pending = 0;
  return step;
}

static void parse_line(char* line) {
  char* rest = line;
  char* word = next_word(&rest);
  if (!word || word[0] == '#') return;
  Section* section = script.section_count ? &script.sections[script.section_count - 1] : NULL;
  Step* step = NULL;
  if (strcmp(word, "open_fail") == 0) {
    script.open_fail = read_number(&rest);
  } else if (strcmp(word, "open_null") == 0) {
    script.open_null = read_number(&rest);
  } else if (strcmp(word, "stack") == 0) {
    script.stack_kib = read_number(&rest);
  } else if (strcmp(word, "connection") == 0) {
    if (script.section_count < MAX_SECTIONS) memset(&script.sections[script.section_count++], 0, sizeof(Section));
  } else if (strcmp(word, "add_fail") == 0 && section) {
    section->add_fail = read_number(&rest);
  } else if (strcmp(word, "request_fail") == 0 && section) {
    section->request_fail = 1;
  } else if (strcmp(word, "sample") == 0 && (step = new_step(section, STEP_MESSAGE))) {
    step->exact = 1;
    read_values(&rest, step);
  } else if (strcmp(word, "message") == 0 && (step = new_step(section, STEP_MESSAGE))) {
    char* size = next_word(&rest);
    step->full_size = size && strcmp(size, "full") == 0;
    step->size = size ? (uint32_t)strtoul(size, NULL, 10) : 0;
    step->id = read_number(&rest);
    step->request = read_number(&rest);
    read_values(&rest, step);
  } else if (strcmp(word, "claim") == 0) {
    claim = read_number(&rest);
    claim_pending = 1;
  } else if (strcmp(word, "quit") == 0 && (step = new_step(section, STEP_MESSAGE))) {
    step->full_size = 0;
    step->size = 12;
    if (!step->claimed_size) step->claimed_size = 12;
    step->id = 3;
  } else if (strcmp(word, "exception") == 0 && (step = new_step(section, STEP_MESSAGE))) {
    step->full_size = 0;
    step->size = 24;
    step->id = 1;
    step->request = read_number(&rest); /* the code sits where object data has its request */
    step->send_id = read_number(&rest);
    step->index = read_number(&rest);
  } else if ((strcmp(word, "menu") == 0 || strcmp(word, "fly") == 0) && (step = new_step(section, STEP_MESSAGE))) {
    step->full_size = 0;
    step->size = 24;
    step->id = 4;
    step->request = 0xFFFFFFFF; /* no group */
    step->send_id = word[0] == 'f';
  } else if (strcmp(word, "none") == 0 && (step = new_step(section, STEP_NONE))) {
    step->count = read_number(&rest);
  } else if (strcmp(word, "null") == 0 && (step = new_step(section, STEP_NULL))) {
    step->count = read_number(&rest);
  } else if (strcmp(word, "aircraft") == 0 && section && section->aircraft_count < MAX_AIRCRAFT) {
    Aircraft* aircraft = &section->aircraft[section->aircraft_count++];
    memset(aircraft, 0, sizeof *aircraft);
    aircraft->object = read_number(&rest);
    for (char* w; (w = next_word(&rest)) && aircraft->word_count < MAX_VALUES;)
      snprintf(aircraft->words[aircraft->word_count++], MAX_WORD, "%s", w);
  } else if (strcmp(word, "stream") == 0 && (step = new_step(section, STEP_STREAM))) {
    step->exact = 1;
    step->count = read_number(&rest);
    read_values(&rest, step);
  }
}

static void load_script(void) {
  char path[1024];
  if (!read_env("TAVRIK_SIMCONNECT_SCRIPT", path, sizeof path)) path[0] = '\0';
  if (strcmp(path, script_path) != 0) {
    strcpy(script_path, path);
    opens = connections = 0;
    current = 0;
  }
  memset(&script, 0, sizeof script);
  claim_pending = 0;
  FILE* file = path[0] ? fopen(path, "rb") : NULL;
  if (!file) return;
  char line[1024];
  for (line_number = 1; fgets(line, sizeof line, file); ++line_number) parse_line(line);
  fclose(file);
}

static Section* current_section(void) {
  if (script.section_count == 0) return NULL;
  unsigned index = connections - 1;
  return &script.sections[index < script.section_count ? index : script.section_count - 1];
}

static void forget_message(void) {
  free(message);
  message = NULL;
}

/* Touches every page of `bytes` of stack, so a thread with less fails here. */
static void use_stack(size_t bytes) {
  if (bytes == 0) return;
  volatile unsigned char deep[bytes];
  for (size_t at = bytes; at > 0; at -= at < 1024 ? at : 1024) deep[at - 1] = (unsigned char)at;
  deep[0] = deep[bytes - 1];
}

EXPORT int32_t SimConnect_Open(void** handle, const char* name, void* window, uint32_t window_message,
                               void* event_handle, uint32_t configuration_index) {
  load_script();
  use_stack((size_t)script.stack_kib * 1024);
  ++opens;
  int was_null = *handle == NULL;
  int32_t status = 0;
  if (opens <= script.open_fail) {
    status = -1;
  } else if (opens <= script.open_fail + script.open_null) {
    *handle = NULL;
  } else {
    current = ++connections;
    adds = registered = step_index = step_progress = 0;
    typed = queued = queued_next = 0;
    start_event = stop_event = state_asked = 0;
    flying = 1;
    *handle = (void*)current;
  }
  log_line("Open handle_was_null=%d name=\"%s\" window=%s message=%u event=%s config=%u -> %d handle=%u", was_null,
           name, window ? "set" : "null", (unsigned)window_message, event_handle ? "set" : "null",
           (unsigned)configuration_index, (int)status, (unsigned)(status < 0 ? 0 : (uintptr_t)*handle));
  return status;
}

EXPORT int32_t SimConnect_Close(void* handle) {
  log_line("Close handle=%u", (unsigned)(uintptr_t)handle);
  if ((uintptr_t)handle == current && current) {
    current = 0;
    forget_message();
  }
  return 0;
}

EXPORT int32_t SimConnect_AddToDataDefinition(void* handle, uint32_t definition, const char* variable, const char* unit,
                                              uint32_t data_type, float epsilon, uint32_t datum) {
  int32_t status = 0;
  const Section* section = current_section();
  if ((uintptr_t)handle != current || !current)
    status = -1;
  else if (section && ++adds == section->add_fail)
    status = -1;
  else if (definition == 2 && typed < MAX_VALUES)
    types[typed++] = data_type < 8 ? data_type : 0; /* 0: a type the double does not lay out */
  else if (definition != 2)
    ++registered;
  log_line(
      "AddToDataDefinition handle=%u definition=%u variable=\"%s\" unit=\"%s\" type=%u epsilon=%.9g "
      "datum=%u -> %d",
      (unsigned)(uintptr_t)handle, (unsigned)definition, variable, unit ? unit : "", (unsigned)data_type,
      (double)epsilon, (unsigned)datum, (int)status);
  return status;
}

EXPORT int32_t SimConnect_RequestDataOnSimObject(void* handle, uint32_t request, uint32_t definition, uint32_t object,
                                                 uint32_t period, uint32_t flags, uint32_t origin, uint32_t interval,
                                                 uint32_t limit) {
  int32_t status = 0;
  const Section* section = current_section();
  if ((uintptr_t)handle != current || !current)
    status = -1;
  else if (section && section->request_fail)
    status = -1;
  log_line(
      "RequestDataOnSimObject handle=%u request=%u definition=%u object=%u period=%u flags=%u origin=%u "
      "interval=%u limit=%u -> %d",
      (unsigned)(uintptr_t)handle, (unsigned)request, (unsigned)definition, (unsigned)object, (unsigned)period,
      (unsigned)flags, (unsigned)origin, (unsigned)interval, (unsigned)limit, (int)status);
  return status;
}

EXPORT int32_t SimConnect_RequestDataOnSimObjectType(void* handle, uint32_t request, uint32_t definition,
                                                     uint32_t radius, uint32_t type) {
  int32_t status = (uintptr_t)handle != current || !current ? -1 : 0;
  const Section* section = current_section();
  if (status == 0 && section && definition == 2) {
    queued = section->aircraft_count;
    queued_next = 0;
    queued_request = request;
  }
  log_line("RequestDataOnSimObjectType handle=%u request=%u definition=%u radius=%u type=%u -> %d",
           (unsigned)(uintptr_t)handle, (unsigned)request, (unsigned)definition, (unsigned)radius, (unsigned)type,
           (int)status);
  return status;
}

EXPORT int32_t SimConnect_SubscribeToSystemEvent(void* handle, uint32_t event, const char* name) {
  int32_t status = (uintptr_t)handle == current && current ? 0 : -1;
  if (status == 0 && strcmp(name, "SimStart") == 0) start_event = event;
  if (status == 0 && strcmp(name, "SimStop") == 0) stop_event = event;
  log_line("SubscribeToSystemEvent handle=%u event=%u name=\"%s\" -> %d", (unsigned)(uintptr_t)handle, (unsigned)event,
           name, (int)status);
  return status;
}

EXPORT int32_t SimConnect_RequestSystemState(void* handle, uint32_t request, const char* state) {
  int32_t status = (uintptr_t)handle == current && current ? 0 : -1;
  state_asked = status == 0 && strcmp(state, "Sim") == 0;
  state_request = request;
  log_line("RequestSystemState handle=%u request=%u state=\"%s\" -> %d", (unsigned)(uintptr_t)handle, (unsigned)request,
           state, (int)status);
  return status;
}

#ifndef WITHOUT_GET_NEXT_DISPATCH
static void put_u32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = (unsigned char)(value >> (8 * i));
}

/* A message of exactly `size` bytes, so that reading past it is a fault; its
 * values start at byte 40, one double per registered variable. */
static unsigned char* build_message(const Step* step, uint32_t size, uint32_t id, uint32_t request) {
  unsigned char full[VALUES_OFFSET + MAX_VALUES * 8];
  memset(full, 0, sizeof full);
  put_u32(full, step->claimed_size ? step->claimed_size : size);
  put_u32(full + 4, 1);
  put_u32(full + 8, id);
  put_u32(full + 12, request);
  put_u32(full + 20, 1); /* definition */
  put_u32(full + 28, 1); /* entry */
  put_u32(full + 32, 1); /* out of */
  put_u32(full + 36, registered);
  if (id == 1) { /* exception: code at 12 (as `request`), then send id and index */
    put_u32(full + 16, step->send_id);
    put_u32(full + 20, step->index);
  }
  if (id == 4) put_u32(full + 16, step->send_id ? start_event : stop_event); /* event: group at 12 (as `request`) */
  if (id == 15) put_u32(full + 16, (uint32_t)flying); /* system state: request at 12, its integer */
  memcpy(full + VALUES_OFFSET, step->values, sizeof step->values);
  unsigned char* bytes = calloc(size ? size : 1, 1);
  if (bytes) memcpy(bytes, full, size < sizeof full ? size : sizeof full);
  return bytes;
}

static uint32_t sample_size(void) { return VALUES_OFFSET + registered * 8; }

/* A sample with another number of values than the feed registered, or any
 * message with more, is a wrong script, not a fault of the feed: said once,
 * loudly, naming the script. */
static int values_fit(Step* step) {
  if (step->exact ? step->value_count == registered : step->value_count <= registered) return 1;
  if (!step->refused) {
    step->refused = 1;
    log_line("ScriptError script=%s line=%u: %u values for %u variables", script_path, step->line, step->value_count,
             registered);
    fprintf(stderr, "SimConnect double: %s line %u: %u values for %u variables\n", script_path, step->line,
            step->value_count, registered);
  }
  return 0;
}

/* One by-type answer: the aircraft's words laid out as definition 2 was
 * registered, numbers as doubles, texts (STRING8 to STRING64) zero-padded. */
static int32_t next_aircraft(const Section* section, void** out, uint32_t* size) {
  const Aircraft* aircraft = &section->aircraft[queued_next++];
  if (queued_next >= queued) queued = queued_next = 0;
  static const unsigned sizes[] = {0, 0, 0, 0, 8, 8, 32, 64};
  uint32_t bytes = VALUES_OFFSET;
  for (unsigned i = 0; i < typed; ++i) bytes += sizes[types[i]];
  if (!(message = calloc(bytes, 1))) return -1;
  uint32_t head[] = {bytes, 1, 9, queued_request, aircraft->object, 2, 0, 1, section->aircraft_count, typed};
  for (unsigned i = 0; i < 10; ++i) put_u32(message + 4 * i, head[i]);
  unsigned char* at = message + VALUES_OFFSET;
  for (unsigned i = 0; i < typed; at += sizes[types[i++]]) {
    const char* word = i < aircraft->word_count ? aircraft->words[i] : "0";
    double value = strtod(word, NULL);
    if (types[i] == 4)
      memcpy(at, &value, 8);
    else
      memcpy(at, word, strlen(word) < sizes[types[i]] ? strlen(word) : sizes[types[i]]);
  }
  *out = message;
  *size = bytes;
  log_line("Dispatch handle=%u id=9 request=%u object=%u size=%u", (unsigned)current, (unsigned)queued_request,
           (unsigned)aircraft->object, (unsigned)bytes);
  return 0;
}

/* The next step of the connection's script: a message, or 0 for none. */
static int32_t next_step(void** out, uint32_t* size) {
  Section* section = current_section();
  if (section && queued) return next_aircraft(section, out, size);
  if (!section || step_index >= section->step_count) return -1;
  Step* step = &section->steps[step_index];
  switch (step->kind) {
    case STEP_MESSAGE: {
      ++step_index;
      if (step->id == 4) flying = (int)step->send_id;
      if (step->id == 4 && !(step->send_id ? start_event : stop_event)) return -1; /* not subscribed */
      if (!values_fit(step)) return -1;
      uint32_t bytes = step->full_size ? sample_size() : step->size;
      message = build_message(step, bytes, step->id, step->request);
      *out = message;
      *size = bytes;
      log_line("Dispatch handle=%u id=%u request=%u size=%u", (unsigned)current, (unsigned)step->id,
               (unsigned)step->request, (unsigned)bytes);
      return 0;
    }
    case STEP_NONE:
    case STEP_NULL:
      if (++step_progress >= step->count) {
        ++step_index;
        step_progress = 0;
      }
      if (step->kind == STEP_NULL) {
        *out = NULL;
        return 0;
      }
      return -1;
    case STEP_STREAM:
      if (++step_progress < (step->count ? step->count : 1)) return -1;
      step_progress = 0;
      if (!values_fit(step)) return -1;
      message = build_message(step, sample_size(), 8, 1);
      *out = message;
      *size = sample_size();
      return 0;
  }
  return -1;
}

EXPORT int32_t SimConnect_GetNextDispatch(void* handle, void** out, uint32_t* size) {
  forget_message();
  if ((uintptr_t)handle != current || !current) {
    log_line("GetNextDispatch handle=%u -> -1", (unsigned)(uintptr_t)handle);
    return -1;
  }
  if (state_asked) { /* the answer comes before anything scripted */
    static const Step answer;
    state_asked = 0;
    *out = message = build_message(&answer, 284, 15, state_request);
    *size = 284;
    log_line("SystemState handle=%u request=%u value=%d", (unsigned)current, (unsigned)state_request, flying);
    return 0;
  }
  return next_step(out, size);
}
#endif
