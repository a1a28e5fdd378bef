"""A small pure-Python model of what a CoordinationState does, as seen from Python.

It has two halves:

* ``CoordinationModel``: the semantics of the nine methods (claims with their 300-second
  lease, statuses, mailboxes and broadcasts) over plain dicts and lists, driven by a clock
  value that the caller sets (``model.now``);
* ``expected_call_error``: how a method call's arguments are matched to parameters and
  converted, i.e. which TypeError or UnicodeEncodeError a call must raise before any table
  is touched, or ``None`` when the call is well formed.

test_model.py runs the model and the extension side by side. The activity log is left out:
no method reads it back, so nothing observable depends on it. Written for Python 3.9 and
later (no match statements, no runtime-evaluated ``X | Y`` annotations).
"""

LEASE_SECONDS = 300

# Parameters of every method, in order; all are required and may be given by position or
# by name.
SIGNATURES = {
    "claim_file": ("agent_id", "path"),
    "claim_task": ("agent_id", "task_id"),
    "release": ("agent_id", "resource_key"),
    "renew_claim": ("agent_id", "resource_key"),
    "send_message": ("from_agent", "to_agent", "content"),
    "broadcast": ("from_agent", "content"),
    "inbox": ("agent_id",),
    "drain_inbox": ("agent_id",),
    "status": ("agent_id",),
}

FAILED_TYPE_NAME = "<failed to extract type name>"


class CoordinationModel:
    """The observable state of one CoordinationState and the effect of each method on it.

    Methods take plain ``str`` arguments that are already known to be well formed, return
    what the extension returns, and raise ``RuntimeError`` with the extension's message for
    a refused claim, renewal or release. A refused call changes nothing.
    """

    def __init__(self, now):
        self.now = now
        # resource key -> [holder, last stamp]; with one clock value per call both stamps of
        # a claim are equal, so one number stands for the larger of them.
        self.claims = {}
        self.statuses = {}  # agent id -> "idle" / "busy"; its keys are the broadcast roster
        self.inboxes = {}  # agent id -> list of (from_agent, content, sent_at), oldest first

    # ---- claims ----

    def _lapsed(self, claim):
        age = self.now - claim[1] if self.now > claim[1] else 0
        return age >= LEASE_SECONDS

    def _claim(self, prefix, refusal, agent_id, name):
        key = prefix + name
        stored = self.claims.get(key)
        if stored is not None and not self._lapsed(stored):
            raise RuntimeError(stored[0] + refusal + name)
        # Vacant, or a lapsed claim taken over (the previous holder's status stays).
        self.claims[key] = [agent_id, self.now]
        self.statuses[agent_id] = "busy"
        return agent_id

    def claim_file(self, agent_id, path):
        return self._claim("file:", " already holds claim on ", agent_id, path)

    def claim_task(self, agent_id, task_id):
        return self._claim("task:", " already holds claim on task ", agent_id, task_id)

    def renew_claim(self, agent_id, resource_key):
        stored = self.claims.get(resource_key)
        if stored is None:
            raise RuntimeError("no claim on " + resource_key + " to renew")
        if stored[0] != agent_id:
            raise RuntimeError(agent_id + " cannot renew a claim held by " + stored[0])
        stored[1] = self.now  # lapsed or not: a full lease again, no status change
        return agent_id

    def release(self, agent_id, resource_key):
        stored = self.claims.get(resource_key)
        if stored is None:
            raise RuntimeError("no claim found for " + agent_id)
        if stored[0] != agent_id:
            raise RuntimeError(agent_id + " cannot release a claim held by " + stored[0])
        del self.claims[resource_key]
        self.statuses[agent_id] = "idle"  # whatever else the agent still holds
        return None

    def holder(self, resource_key):
        stored = self.claims.get(resource_key)
        return None if stored is None else stored[0]

    # ---- mailboxes ----

    def _register(self, agent_id):
        self.statuses.setdefault(agent_id, "idle")

    def send_message(self, from_agent, to_agent, content):
        self.inboxes.setdefault(to_agent, []).append((from_agent, content, self.now))
        self._register(to_agent)  # the recipient only; the sender stays unknown
        return (from_agent, to_agent, content, self.now)

    def broadcast(self, from_agent, content):
        self._register(from_agent)
        for agent_id in self.statuses:
            self.inboxes.setdefault(agent_id, []).append((from_agent, content, self.now))
        return (from_agent, "*", content, self.now)

    def inbox(self, agent_id):
        return [
            (sender, agent_id, content, sent_at)
            for sender, content, sent_at in self.inboxes.get(agent_id, ())
        ]

    def drain_inbox(self, agent_id):
        messages = self.inbox(agent_id)
        self.inboxes[agent_id] = []
        return messages

    # ---- statuses ----

    def status(self, agent_id):
        return self.statuses.get(agent_id, "idle")


# ---- argument matching and conversion ----


def full_name(method):
    return "CoordinationState.%s()" % method


def _quoted_list(names):
    quoted = ["'%s'" % name for name in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return quoted[0] + " and " + quoted[1]
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def type_name(value):
    """The name a conversion error gives for ``value``'s type: its ``__qualname__``."""
    try:
        name = type(value).__qualname__
    except Exception:
        return FAILED_TYPE_NAME
    return name if isinstance(name, str) else FAILED_TYPE_NAME


def conversion_error(parameter, value):
    """The error converting one argument raises, as (type, message), or None if it is fine."""
    if not isinstance(value, str):
        return (
            TypeError,
            "argument '%s': '%s' object cannot be converted to 'PyString'"
            % (parameter, type_name(value)),
        )
    try:
        str.__str__(value).encode("utf-8")
    except UnicodeEncodeError as error:
        return (UnicodeEncodeError, str(error))
    return None


def match_arguments(method, args, kwargs):
    """Fills the parameter slots from ``args`` and ``kwargs`` (in the dict's order).

    Returns ``(error, slots)``: ``error`` is ``(TypeError, message)`` for the first arity or
    keyword problem, else ``None``; ``slots`` maps each parameter to its value.
    """
    parameters = SIGNATURES[method]
    name = full_name(method)
    if len(args) > len(parameters):
        return (
            (
                TypeError,
                "%s takes %d positional arguments but %d %s given"
                % (name, len(parameters), len(args), "was" if len(args) == 1 else "were"),
            ),
            None,
        )
    slots = dict(zip(parameters, args))
    for keyword, value in kwargs.items():
        if keyword not in parameters:
            return (
                (TypeError, "%s got an unexpected keyword argument '%s'" % (name, keyword)),
                None,
            )
        if keyword in slots:
            return ((TypeError, "%s got multiple values for argument '%s'" % (name, keyword)), None)
        slots[keyword] = value
    missing = [parameter for parameter in parameters if parameter not in slots]
    if missing:
        return (
            (
                TypeError,
                "%s missing %d required positional %s: %s"
                % (
                    name,
                    len(missing),
                    "argument" if len(missing) == 1 else "arguments",
                    _quoted_list(missing),
                ),
            ),
            None,
        )
    return None, slots


def expected_call_error(method, args, kwargs):
    """What ``getattr(state, method)(*args, **kwargs)`` must raise before touching any table.

    Returns ``(exception type, message)``, or ``None`` when every argument is matched and
    converts; arity and keyword problems come first, then each argument in parameter order.
    """
    error, slots = match_arguments(method, args, kwargs)
    if error is not None:
        return error
    for parameter in SIGNATURES[method]:
        error = conversion_error(parameter, slots[parameter])
        if error is not None:
            return error
    return None


def plain_arguments(method, args, kwargs):
    """The well-formed call's arguments as plain ``str``, in parameter order."""
    error, slots = match_arguments(method, args, kwargs)
    if error is not None:
        raise ValueError("not a well-formed call: %r" % (error,))
    return [str.__str__(slots[parameter]) for parameter in SIGNATURES[method]]
