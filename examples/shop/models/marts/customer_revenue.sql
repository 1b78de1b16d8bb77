-- Everything it reads is already in the warehouse: runs there as it is (pushdown).
select
    c.customer_id,
    c.customer_name,
    c.country,
    count(o.order_id) as orders,
    coalesce(sum(o.amount), 0) as revenue
from {{ ref('stg_customers') }} as c
left join {{ ref('stg_orders') }} as o
    on o.customer_id = c.customer_id and o.status <> 'cancelled'
group by 1, 2, 3
