"""Certifies a few agent actions with the built-in agentic adapter and prints each certificate."""

from ruvo_safety import (AgenticAdapter, CertifierConfig, SafetyCertificate, SafetyCertifier,
                         SimpleAction, StateDelta, certify_action)


def show(title: str, cert: SafetyCertificate) -> None:
    print(f"== {title}")
    print(f"decision: {cert.decision}")
    print(f"zone: {cert.zone}  binding: {cert.binding_constraint}  "
          f"drift budget: {cert.drift_budget}")
    print(cert.to_json())
    print()


def main() -> None:
    print(repr(StateDelta("scope_score", 1.0, 0.4)))
    print(repr(CertifierConfig()))
    print()

    adapter = AgenticAdapter(budget_limit=100.0, rate_limit=50.0)
    certifier = SafetyCertifier(adapter)
    print(repr(certifier))
    print()

    safe = SimpleAction("read-report", "agent-1", [StateDelta("scope_score", 1.0, 0.9)])
    show("a safe action", certifier.certify(safe))

    caution = SimpleAction("edit-config", "agent-1", [
        StateDelta("scope_score", 1.0, 0.4),
        StateDelta("reversibility_score", 1.0, 0.55),
    ])
    show("an action in the caution zone", certifier.certify(caution))

    blocked = SimpleAction("delete-database", "agent-1", [
        StateDelta("reversibility_score", 1.0, 0.0),
        StateDelta("sensitivity_score", 1.0, 0.05),
    ])
    show("a blocked action", certifier.certify(blocked))

    adapter.record_spend(92.0)
    adapter.record_action()
    print(f"budget utilization after spending: {adapter.budget_utilization()}")
    show("a regime change after record_spend", certifier.certify(safe))

    show("one-shot certify_action with loose arguments",
         certify_action(AgenticAdapter(), action_id="quick", agent_id="agent-2",
                        deltas={"scope_score": 0.7, "sensitivity_score": 0.65}))


if __name__ == "__main__":
    main()
