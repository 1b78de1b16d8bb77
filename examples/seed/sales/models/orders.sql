-- 40 orders; batch 2 adds 10 more and changes the status of orders 35 to 40, as a day of
-- business would.
select
    i as order_id,
    1 + (i * 7) % 12 as customer_id,
    case
        when {{ var('batch') }} >= 2 and i between 35 and 40 then 'cancelled'
        when i % 9 = 0 then 'cancelled'
        else 'shipped'
    end as status,
    cast(10 + (i * 37) % 90 as decimal(10, 2)) as amount,
    case
        when {{ var('batch') }} >= 2 and i > 34 then timestamp '2026-03-02 09:00:00' + to_minutes(i)
        else timestamp '2026-03-01 08:00:00' + to_minutes(i * 10)
    end as updated_at
from range(1, case when {{ var('batch') }} >= 2 then 51 else 41 end) as t(i)
