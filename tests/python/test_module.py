"""Module frame: registration, type properties, re-import, interpreters, binding texts."""

import sys
import textwrap
import weakref

import pytest

import ruvo_safety
from ruvo_safety import CertifierConfig, SimpleAction, StateDelta

CLASSES = [getattr(ruvo_safety, name) for name in ruvo_safety.__all__ if name[0].isupper()]


def test_all_lists_registered_names_in_order_and_nothing_else_is_public():
    order = ["SafetyCertificate", "SafetyCertifier", "SimpleAction", "StateDelta",
             "CertifierConfig", "AgenticAdapter", "DomainAdapter", "ConstraintChannel",
             "certify_action"]
    names = ruvo_safety.__all__
    assert names == order
    public = [n for n in dir(ruvo_safety) if not n.startswith("_")]
    assert sorted(public) == sorted(names)
    assert ruvo_safety.__doc__ == "RUVO Safety Kernel -- Python bindings"


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_shared_type_properties(cls):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__
    assert cls.__bases__ == (object,)
    assert "__dict__" not in dir(cls)
    # Mutable heap types.
    cls.some_attribute = 1
    del cls.some_attribute
    assert "__eq__" not in vars(cls) and "__hash__" not in vars(cls)


@pytest.mark.parametrize("make", [
    lambda: StateDelta("a"),
    lambda: SimpleAction("a", "b"),
    lambda: CertifierConfig(),
    lambda: ruvo_safety.AgenticAdapter(),
    lambda: ruvo_safety.DomainAdapter(),
    lambda: ruvo_safety.ConstraintChannel(),
    lambda: ruvo_safety.certify_action(ruvo_safety.AgenticAdapter()),
], ids=["StateDelta", "SimpleAction", "CertifierConfig", "AgenticAdapter", "DomainAdapter",
        "ConstraintChannel", "SafetyCertificate"])
def test_instances_have_no_dict_weakref_or_gc_and_compare_by_identity(make):
    import gc
    obj = make()
    with pytest.raises(AttributeError):
        obj.undefined_attribute = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)
    other = make()
    assert obj != other and obj == obj
    assert hash(obj) == object.__hash__(obj)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_only_the_two_base_classes_can_be_subclassed(cls):
    if cls.__name__ in ("DomainAdapter", "ConstraintChannel"):
        assert issubclass(type("Sub", (cls,), {}), cls)
    else:
        with pytest.raises(TypeError, match="is not an acceptable base type"):
            type("Sub", (cls,), {})


def test_reimport_yields_the_same_module_and_classes():
    module = sys.modules.pop("ruvo_safety")
    try:
        import ruvo_safety as again
        assert again is module
        assert again.StateDelta is StateDelta
    finally:
        sys.modules["ruvo_safety"] = module


def test_second_interpreter_is_refused_with_the_modules_own_message():
    import _interpreters
    interp = _interpreters.create(_interpreters.new_config("legacy"))
    try:
        failure = _interpreters.run_string(interp, "import ruvo_safety")
    finally:
        _interpreters.destroy(interp)
    assert failure is not None
    assert failure.type.__name__ == "ImportError"
    assert "does not yet support sub-interpreters" in failure.msg


@pytest.mark.parametrize("call, message", [
    (lambda: StateDelta(),
     "StateDelta.__new__() missing 1 required positional argument: 'dimension'"),
    (lambda: SimpleAction(),
     "SimpleAction.__new__() missing 2 required positional arguments: 'action_id' and 'agent_id'"),
    (lambda: SimpleAction(state_deltas=[]),
     "SimpleAction.__new__() missing 2 required positional arguments: 'action_id' and 'agent_id'"),
    (lambda: StateDelta("a", 1, 2, 3),
     "StateDelta.__new__() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: CertifierConfig(1, 2, 3, 4, 5),
     "CertifierConfig.__new__() takes from 0 to 4 positional arguments but 5 were given"),
    (lambda: StateDelta("a", dimension="b"),
     "StateDelta.__new__() got multiple values for argument 'dimension'"),
    (lambda: StateDelta("a", size=1),
     "StateDelta.__new__() got an unexpected keyword argument 'size'"),
    # Too many positionals is reported before a bad keyword.
    (lambda: StateDelta("a", 1, 2, 3, size=1),
     "StateDelta.__new__() takes from 1 to 3 positional arguments but 4 were given"),
    # Keywords are checked in the order given, before missing arguments.
    (lambda: SimpleAction(agent_id="b", bogus=1),
     "SimpleAction.__new__() got an unexpected keyword argument 'bogus'"),
    (lambda: StateDelta(5),
     "argument 'dimension': 'int' object cannot be converted to 'PyString'"),
    (lambda: StateDelta("a", None),
     "argument 'from_value': must be real number, not NoneType"),
    (lambda: StateDelta("a", 1.0, "x"),
     "argument 'to_value': must be real number, not str"),
    (lambda: SimpleAction("a", b"b"),
     "argument 'agent_id': 'bytes' object cannot be converted to 'PyString'"),
])
def test_standard_binding_and_conversion_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_conversion_messages_use_the_qualified_type_name():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError, match=r"^argument 'dimension': 'test_conversion_messages_use_"
                                        r"the_qualified_type_name.<locals>.Outer.Inner' object "
                                        r"cannot be converted to 'PyString'$"):
        StateDelta(Outer.Inner())
    with pytest.raises(TypeError, match="^argument 'state_deltas': 'CertifierConfig' object cannot "
                                        "be converted to 'StateDelta'$"):
        SimpleAction("a", "b", [CertifierConfig()])


def test_conversion_errors_keep_the_cause_and_let_other_exceptions_through():
    class Caused:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as exc:
                raise TypeError("outer") from exc

    with pytest.raises(TypeError) as info:
        StateDelta("a", Caused())
    assert str(info.value) == "argument 'from_value': outer"
    assert isinstance(info.value.__cause__, KeyError)

    class Broken:
        def __float__(self):
            raise ValueError("nope")

    with pytest.raises(ValueError, match="^nope$"):
        StateDelta("a", Broken())
    with pytest.raises(OverflowError):
        StateDelta("a", 10**400)
    with pytest.raises(UnicodeEncodeError):
        StateDelta("\ud800")


@pytest.mark.parametrize("obj, prop", [
    (StateDelta("a"), "dimension"), (StateDelta("a"), "from_value"),
    (SimpleAction("a", "b"), "action_id"), (SimpleAction("a", "b"), "state_deltas"),
    (CertifierConfig(), "warning_margin_threshold"),
])
def test_deleting_a_property_is_refused(obj, prop):
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(obj, prop)


def test_a_setter_converts_before_it_takes_the_object():
    delta = StateDelta("a", 1.0, 2.0)

    class ReadsBack:
        def __float__(self):
            return delta.from_value + 10

    class WritesBack:
        def __float__(self):
            delta.to_value = 7.0
            return 1.5

    delta.to_value = ReadsBack()
    delta.from_value = WritesBack()
    assert (delta.from_value, delta.to_value) == (1.5, 7.0)


def test_a_lying_length_does_not_drive_allocation():
    class Huge(list):
        def __len__(self):
            return sys.maxsize

    class Failing(list):
        def __len__(self):
            raise RuntimeError("no length")

    class Interrupted(list):
        def __len__(self):
            raise KeyboardInterrupt

    d = StateDelta("x", 1.0, 2.0)
    assert len(SimpleAction("a", "b", Huge([d, d])).state_deltas) == 2
    assert len(SimpleAction("a", "b", Failing([d])).state_deltas) == 1
    with pytest.raises(KeyboardInterrupt):
        SimpleAction("a", "b", Interrupted([d]))


def test_iteration_errors_end_the_conversion():
    class Seq:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i == 0:
                return StateDelta("a")
            raise TypeError("broken item")

    with pytest.raises(TypeError, match="^argument 'state_deltas': broken item$"):
        SimpleAction("a", "b", Seq())


@pytest.mark.parametrize("cls, signature, doc", [
    (StateDelta, "(dimension, from_value=0.0, to_value=0.0)",
     "A single dimension of state change proposed by an action."),
    (SimpleAction, "(action_id, agent_id, state_deltas=None)",
     "A simple proposed action for safety certification."),
    (CertifierConfig,
     "(safe_threshold=0.6, caution_threshold=0.3, block_threshold=0.1, "
     "warning_margin_threshold=0.5)",
     textwrap.dedent("""\
        Configuration for the safety certifier.

        Controls the margin thresholds that determine zone classification:
        - safe_threshold: margin above which the action is Safe (default 0.6)
        - caution_threshold: margin above which the action is Caution (default 0.3)
        - block_threshold: margin at or below which the action is Blocked (default 0.1)""")),
])
def test_class_docstrings_and_signatures(cls, signature, doc):
    import inspect
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc
    assert str(inspect.signature(cls)) == signature


@pytest.mark.parametrize("cls, prop, doc", [
    (StateDelta, "dimension", ""), (StateDelta, "from_value", ""), (StateDelta, "to_value", ""),
    (SimpleAction, "action_id", ""), (SimpleAction, "agent_id", ""),
    (SimpleAction, "state_deltas", "Get the state deltas for this action."),
    (CertifierConfig, "safe_threshold", ""), (CertifierConfig, "caution_threshold", ""),
    (CertifierConfig, "block_threshold", ""), (CertifierConfig, "warning_margin_threshold", ""),
])
def test_property_docstrings(cls, prop, doc):
    assert vars(cls)[prop].__doc__ == doc
